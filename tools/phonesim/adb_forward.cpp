#include "adb_forward.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace phonesim {

AdbForward::AdbForward(std::string serial, std::string remote, Target target)
    : m_serial(std::move(serial)), m_remote(std::move(remote)), m_target(std::move(target)) {}

bool AdbForward::start(uint16_t localPort) {
    return m_server.start(localPort, [this](int fd) { relay(fd); });
}

void AdbForward::relay(int clientFd) {
    uint16_t port = m_target ? m_target() : 0;
    if (port == 0) {
        return;  // nothing listens on the phone: the connection just closes
    }
    int serviceFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (serviceFd < 0) {
        return;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(serviceFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        relayStreams(clientFd, serviceFd);
    }
    close(serviceFd);
}

void relayStreams(int a, int b) {
    char buffer[16384];
    // Either side closing ends both, as adb closes the phone's stream when
    // the local socket goes (and the other way round).
    for (;;) {
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            ssize_t n = recv(fds[i].fd, buffer, sizeof(buffer), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || !sendAll(fds[1 - i].fd, buffer, static_cast<size_t>(n))) {
                return;
            }
        }
    }
}

}  // namespace phonesim
