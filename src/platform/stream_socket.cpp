#include "platform/stream_socket.h"

namespace dd::platform {

StreamSocket::~StreamSocket() {
    close();
}

StreamStatus StreamSocket::receiveSome(char* data, size_t size, size_t& got, Deadline deadline) {
    for (;;) {
        StreamStatus status = receiveNow(data, size, got);
        if (status != StreamStatus::Ok || got > 0) {
            return status;
        }
        if (StreamStatus waited = waitFor(false, deadline); waited != StreamStatus::Ok) {
            return waited;
        }
    }
}

}  // namespace dd::platform
