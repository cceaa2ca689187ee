#include "platform/tcp_socket.h"

namespace dd::platform {

bool isDottedIpv4(std::string_view text) {
    int parts = 0;
    size_t pos = 0;
    while (parts < 4) {
        size_t digits = 0;
        unsigned value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return false;
        }
        ++parts;
        if (parts < 4) {
            if (pos >= text.size() || text[pos] != '.') {
                return false;
            }
            ++pos;
        }
    }
    return pos == text.size();
}

bool sendAllWithin(int fd, const void* data, size_t size, std::chrono::milliseconds silence,
                   const dd::ExitFlag* stop) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        bool retry = false;
        long sent = sendSome(fd, bytes, size, &retry);
        if (sent > 0) {
            bytes += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (retry) {
            if (waitForFd(fd, Io::Write, silence, stop) != WaitOutcome::Ready) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace dd::platform
