#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace dd::platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kStopSlice{100};

void setError(int* error, int value) {
    if (error != nullptr) {
        *error = value;
    }
}

}  // namespace

WaitOutcome waitForFd(int fd, short events, std::chrono::milliseconds timeout,
                      const dd::ExitFlag* stop) {
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
    switch (waitForFd(fd.get(), POLLOUT, timeout, stop)) {
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

bool sendAllWithin(int fd, const void* data, size_t size, std::chrono::milliseconds silence,
                   const dd::ExitFlag* stop) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (waitForFd(fd, POLLOUT, silence, stop) != WaitOutcome::Ready) {
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace dd::platform
