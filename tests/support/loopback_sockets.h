// Sockets on 127.0.0.1 as the tests' other programs would hold them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "platform/unique_fd.h"

namespace ddtest {

inline sockaddr_in loopbackAddress(uint16_t port = 0) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A socket of type (SOCK_STREAM, SOCK_DGRAM) bound to a free loopback port,
// with that port in port, or -1.
inline int bindLoopback(int type, uint16_t& port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress();
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

// A loopback port of type that nothing holds right now.
inline uint16_t freePort(int type = SOCK_STREAM) {
    uint16_t port = 0;
    close(bindLoopback(type, port));
    return port;
}

// A connected TCP socket to port on 127.0.0.1; invalid when nobody accepts.
inline dd::platform::UniqueFd connectLoopback(uint16_t port) {
    dd::platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopbackAddress(port);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        return {};
    }
    return fd;
}

}  // namespace ddtest
