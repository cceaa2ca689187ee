#include "platform/unique_fd.h"

#include "platform/win32/win_handle.h"

namespace dd::platform {

// The portable code holds sockets and kernel handles alike as ints: a socket
// is closed as one, anything Winsock does not know as a kernel handle.
void closeHandle(int fd) {
    if (fd < 0) {
        return;
    }
    if (closesocket(win32::toSocket(fd)) == 0) {
        return;
    }
    const int error = WSAGetLastError();
    if (error == WSAENOTSOCK || error == WSANOTINITIALISED) {
        CloseHandle(win32::toHandle(fd));
    }
}

}  // namespace dd::platform
