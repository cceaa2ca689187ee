#include "android/link_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "platform/exit_flag.h"

namespace dd::android {
namespace {

// How often a connect that only has an exit flag to watch looks at it. The
// flag has no descriptor to poll, so this is the price of being cut short.
constexpr int kExitCheckMs = 25;

}  // namespace

void LinkSocket::close() {
    if (!m_fd.valid()) {
        return;
    }
    // The link's close is the orderly one: an abortive linger (on, 0 s)
    // would reset the connection and could drop a status line the phone has
    // not read yet; lingering on would block the closing thread.
    linger off{};
    off.l_onoff = 0;
    off.l_linger = 0;
    setsockopt(m_fd.get(), SOL_SOCKET, SO_LINGER, &off, sizeof(off));
    m_fd.reset();
}

bool LinkSocket::setNonBlocking(bool on) {
    if (!m_fd.valid()) {
        return false;
    }
    int flags = fcntl(m_fd.get(), F_GETFL, 0);
    if (flags < 0) {
        return false;
    }
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(m_fd.get(), F_SETFL, flags) == 0;
}

uint16_t AllocLocalPort() {
    platform::UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
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

LinkSocket CreateLinkSocket() {
    LinkSocket link(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!link) {
        return link;
    }
    int one = 1;
    if (setsockopt(link.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
        link.close();
    }
    return link;
}

namespace {

enum class WaitResult { Writable, TimedOut, Interrupted, Failed };

WaitResult waitWritable(int fd, int timeoutMs, const ConnectInterrupt& interrupt) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (interrupt.exitFlag != nullptr && interrupt.exitFlag->requested()) {
            return WaitResult::Interrupted;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        // A limit of 0 still looks once, as a zero-time select does.
        int slice = static_cast<int>(std::max<int64_t>(left.count(), 0));
        if (interrupt.exitFlag != nullptr && slice > kExitCheckMs) {
            slice = kExitCheckMs;
        }
        pollfd fds[2] = {{fd, POLLOUT, 0}, {interrupt.wakeFd, POLLIN, 0}};
        int n = poll(fds, interrupt.wakeFd >= 0 ? 2 : 1, slice);
        if (n < 0 && errno != EINTR) {
            return WaitResult::Failed;
        }
        if (n > 0) {
            if (interrupt.wakeFd >= 0 && (fds[1].revents & POLLIN) != 0) {
                return WaitResult::Interrupted;
            }
            if (fds[0].revents != 0) {
                return WaitResult::Writable;
            }
        }
        if (Clock::now() >= deadline) {
            return WaitResult::TimedOut;
        }
    }
}

}  // namespace

int ConnectWithTimeout(LinkSocket& socket, std::string_view address, uint16_t port, int seconds,
                       const ConnectInterrupt& interrupt) {
    if (!socket.setNonBlocking(true)) {
        socket.close();
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, std::string(address).c_str(), &addr.sin_addr) != 1) {
        socket.close();
        return 0;
    }
    int started = connect(socket.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    if (started != 0 && errno != EINPROGRESS && errno != EINTR) {
        // Refused at once (nothing listens on the forward): no point waiting.
        socket.close();
        return 0;
    }
    if (started != 0) {
        int timeoutMs = seconds > 0 ? seconds * 1000 : 0;
        if (waitWritable(socket.fd(), timeoutMs, interrupt) != WaitResult::Writable) {
            socket.close();
            return 0;
        }
        // Writable also means "the connect failed"; only a clean SO_ERROR is a link.
        int error = 0;
        socklen_t len = sizeof(error);
        if (getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
            socket.close();
            return 0;
        }
    }
    if (!socket.setNonBlocking(false)) {
        socket.close();
        return 0;
    }
    return 1;
}

}  // namespace dd::android
