#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace dd::platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kStopSlice{100};

short pollEvents(Io direction) {
    return direction == Io::Read ? POLLIN : POLLOUT;
}

void setError(int* error, int value) {
    if (error != nullptr) {
        *error = value;
    }
}

}  // namespace

WaitOutcome waitForFd(int fd, Io direction, std::chrono::milliseconds timeout,
                      const dd::ExitFlag* stop) {
    const short events = pollEvents(direction);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (stop != nullptr && stop->requested()) {
            return WaitOutcome::Stopped;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return WaitOutcome::TimedOut;
        }
        auto slice = stop != nullptr ? std::min(left, kStopSlice) : left;
        pollfd entry{fd, events, 0};
        int rc = poll(fd >= 0 ? &entry : nullptr, fd >= 0 ? 1 : 0, static_cast<int>(slice.count()));
        if (rc > 0) {
            return WaitOutcome::Ready;
        }
        if (rc < 0 && errno != EINTR) {
            return WaitOutcome::Failed;
        }
    }
}

UniqueFd connectTcp4(std::string_view dottedIp, uint16_t port, std::chrono::milliseconds timeout,
                     const dd::ExitFlag* stop, int* error) {
    setError(error, 0);
    if (!isDottedIpv4(dottedIp)) {
        setError(error, EINVAL);
        return {};
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    std::string ip(dottedIp);
    if (inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1) {
        setError(error, EINVAL);
        return {};
    }
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        setError(error, errno);
        return {};
    }
    int one = 1;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
        setError(error, errno);
        return {};
    }
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 &&
        errno != EINPROGRESS) {
        setError(error, errno);
        return {};
    }
    switch (waitForFd(fd.get(), Io::Write, timeout, stop)) {
        case WaitOutcome::Ready:
            break;
        case WaitOutcome::TimedOut:
            setError(error, ETIMEDOUT);
            return {};
        case WaitOutcome::Stopped:
            setError(error, ECANCELED);
            return {};
        case WaitOutcome::Failed:
            setError(error, errno);
            return {};
    }
    // Writable also means "failed" (a refused connection): the socket's own
    // error tells which.
    int socketError = 0;
    socklen_t length = sizeof(socketError);
    if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &socketError, &length) != 0 ||
        socketError != 0) {
        setError(error, socketError != 0 ? socketError : errno);
        return {};
    }
    return fd;
}

Readiness waitReadyOrWoken(int fd, Io direction, const WakeHandle* wake0, const WakeHandle* wake1,
                           int timeoutMs) {
    // A negative descriptor is ignored by poll.
    pollfd fds[3] = {{fd, pollEvents(direction), 0},
                     {wake0 != nullptr ? wake0->native() : -1, POLLIN, 0},
                     {wake1 != nullptr ? wake1->native() : -1, POLLIN, 0}};
    Readiness result;
    int n = poll(fds, 3, timeoutMs);
    if (n < 0) {
        result.failed = errno != EINTR;
        return result;
    }
    if (n == 0) {
        result.timedOut = true;
        return result;
    }
    result.ready = (fds[0].revents & (fds[0].events | POLLHUP | POLLERR | POLLNVAL)) != 0;
    result.woken[0] = (fds[1].revents & POLLIN) != 0;
    result.woken[1] = (fds[2].revents & POLLIN) != 0;
    return result;
}

long sendSome(int fd, const void* data, size_t size, bool* retry) {
    ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (retry != nullptr) {
        *retry = sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
    return static_cast<long>(sent);
}

long receiveSome(int fd, void* buffer, size_t size, bool& retry) {
    ssize_t got = recv(fd, buffer, size, 0);
    retry = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    return static_cast<long>(got);
}

UniqueFd createTcpSocket() {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return fd;
    }
    int one = 1;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
        closeSocket(fd);
    }
    return fd;
}

bool setNonBlocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        return false;
    }
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

void closeSocket(UniqueFd& fd) {
    if (!fd.valid()) {
        return;
    }
    linger off{};
    off.l_onoff = 0;
    off.l_linger = 0;
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &off, sizeof(off));
    fd.reset();
}

uint16_t allocateLocalPort() {
    UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) {
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = 0;
    if (bind(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        return 0;
    }
    socklen_t len = sizeof(addr);
    if (getsockname(probe.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

ConnectStart startConnectTcp4(int fd, std::string_view dottedIp, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, std::string(dottedIp).c_str(), &addr.sin_addr) != 1) {
        return ConnectStart::BadAddress;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        return ConnectStart::Connected;
    }
    return errno == EINPROGRESS || errno == EINTR ? ConnectStart::Pending : ConnectStart::Failed;
}

int socketError(int fd) {
    int error = 0;
    socklen_t len = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
        return errno != 0 ? errno : -1;
    }
    return error;
}

}  // namespace dd::platform
