#include "platform/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace dd::platform {

UniqueFd listenOnLoopback(uint16_t port, std::string* problem) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        if (problem != nullptr) {
            *problem = std::strerror(errno);
        }
        return fd;
    }
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in place{};
    place.sin_family = AF_INET;
    place.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    place.sin_port = htons(port);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&place), sizeof(place)) != 0 ||
        listen(fd.get(), 16) != 0) {
        if (problem != nullptr) {
            *problem = std::strerror(errno);
        }
        fd.reset();
    }
    return fd;
}

UniqueFd acceptClient(int listener) {
    return UniqueFd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
}

PortState probeUdpPort(uint32_t address, uint16_t port, std::string* problem) {
    UniqueFd probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe) {
        if (problem != nullptr) {
            *problem = std::strerror(errno);
        }
        return PortState::Failed;
    }
    sockaddr_in place{};
    place.sin_family = AF_INET;
    place.sin_addr.s_addr = address;
    place.sin_port = htons(port);
    if (bind(probe.get(), reinterpret_cast<const sockaddr*>(&place), sizeof(place)) == 0) {
        return PortState::Free;
    }
    if (errno == EADDRINUSE) {
        return PortState::InUse;
    }
    if (problem != nullptr) {
        *problem = std::strerror(errno);
    }
    return PortState::Failed;
}

}  // namespace dd::platform
