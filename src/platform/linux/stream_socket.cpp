#include "platform/stream_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/milliseconds_left.h"

namespace dd::platform {

void StreamSocket::close() {
    if (m_handle != kNoHandle) {
        ::close(static_cast<int>(m_handle));
        m_handle = kNoHandle;
    }
}

StreamStatus StreamSocket::waitFor(bool writing, Deadline deadline) {
    for (;;) {
        int left = millisecondsLeft(deadline);
        if (left <= 0) {
            return StreamStatus::TimedOut;
        }
        pollfd fd{static_cast<int>(m_handle), static_cast<short>(writing ? POLLOUT : POLLIN), 0};
        int ready = poll(&fd, 1, left);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return StreamStatus::Broken;
        }
        if (ready > 0) {
            return StreamStatus::Ok;  // readiness, or an error the next call reports
        }
    }
}

StreamStatus StreamSocket::connect(const std::string& dottedIp, uint16_t port, Deadline deadline) {
    close();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, dottedIp.c_str(), &addr.sin_addr) != 1) {
        return StreamStatus::Broken;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return StreamStatus::Broken;
    }
    m_handle = fd;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        return StreamStatus::Ok;
    }
    if (errno == ECONNREFUSED) {
        return StreamStatus::Refused;
    }
    if (errno != EINPROGRESS) {
        return StreamStatus::Broken;
    }
    if (StreamStatus waited = waitFor(true, deadline); waited != StreamStatus::Ok) {
        return waited;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return StreamStatus::Broken;
    }
    if (error == ECONNREFUSED) {
        return StreamStatus::Refused;
    }
    return error == 0 ? StreamStatus::Ok : StreamStatus::Broken;
}

StreamStatus StreamSocket::sendAll(const char* data, size_t size, Deadline deadline) {
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = send(static_cast<int>(m_handle), data + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (StreamStatus waited = waitFor(true, deadline); waited != StreamStatus::Ok) {
                return waited;
            }
            continue;
        }
        return errno == EPIPE || errno == ECONNRESET ? StreamStatus::Closed : StreamStatus::Broken;
    }
    return StreamStatus::Ok;
}

StreamStatus StreamSocket::receiveNow(char* data, size_t size, size_t& got) {
    got = 0;
    for (;;) {
        ssize_t n = recv(static_cast<int>(m_handle), data, size, 0);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return StreamStatus::Ok;
        }
        if (n == 0) {
            return StreamStatus::Closed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return StreamStatus::Ok;
        }
        return errno == ECONNRESET ? StreamStatus::Closed : StreamStatus::Broken;
    }
}

}  // namespace dd::platform
