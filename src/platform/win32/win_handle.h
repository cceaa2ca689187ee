// What the Windows implementations of the platform share: the handles the
// portable headers carry as plain ints, UTF-8 <-> UTF-16 for every path and
// text that crosses a W call, and Winsock's one-time start.
//
// Kernel handles and sockets fit in 32 bits (Windows keeps them that way so
// that 32- and 64-bit processes can share them), so the portable headers' int
// holds either without loss; INVALID_HANDLE_VALUE and INVALID_SOCKET both
// become -1.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace dd::platform::win32 {

inline HANDLE toHandle(int fd) {
    return fd < 0 ? INVALID_HANDLE_VALUE
                  : reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

inline int fromHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

inline SOCKET toSocket(int fd) {
    return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd);
}

inline int fromSocket(SOCKET socket) {
    return socket == INVALID_SOCKET ? -1 : static_cast<int>(socket);
}

// UTF-8 to UTF-16 and back; malformed input becomes U+FFFD (Windows' own
// conversion rules), never an error.
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

// The text of a Windows error code (GetLastError, WSAGetLastError), one line.
std::string errorText(DWORD code);

// Starts Winsock 2.2 once per process; false when the system refuses.
// Every socket facility calls it before its first socket.
bool ensureWinsock();

}  // namespace dd::platform::win32
