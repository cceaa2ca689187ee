#include "adb_wire.h"

#include <cstdio>

#include "loopback_server.h"

namespace phonesim::adbwire {

std::string hex4(size_t n) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04zx", n & 0xffff);
    return text;
}

bool readRequest(int fd, std::string& request) {
    char length[4];
    if (!recvExact(fd, length, sizeof(length))) {
        return false;
    }
    size_t size = 0;
    for (char c : length) {
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0) {
            return false;
        }
        size = size * 16 + static_cast<size_t>(digit);
    }
    request.assign(size, '\0');
    return size == 0 || recvExact(fd, request.data(), size);
}

bool sendOkay(int fd) {
    return sendAll(fd, "OKAY", 4);
}

bool sendFail(int fd, std::string_view message) {
    std::string reply = "FAIL" + hex4(message.size());
    reply.append(message);
    return sendAll(fd, reply);
}

bool sendOkayPayload(int fd, std::string_view payload) {
    std::string reply = "OKAY" + hex4(payload.size());
    reply.append(payload);
    return sendAll(fd, reply);
}

bool sendPayload(int fd, std::string_view payload) {
    std::string reply = hex4(payload.size());
    reply.append(payload);
    return sendAll(fd, reply);
}

void putLe32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

uint32_t getLe32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace phonesim::adbwire
