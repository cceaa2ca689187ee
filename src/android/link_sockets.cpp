#include "android/link_sockets.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "platform/exit_flag.h"
#include "platform/tcp_socket.h"

namespace dd::android {
namespace {

// How often a connect that only has an exit flag to watch looks at it. The
// flag has no descriptor to poll, so this is the price of being cut short.
constexpr int kExitCheckMs = 25;

}  // namespace

void LinkSocket::close() {
    // The link's close is the orderly one: an abortive linger (on, 0 s)
    // would reset the connection and could drop a status line the phone has
    // not read yet; lingering on would block the closing thread.
    platform::closeSocket(m_fd);
}

bool LinkSocket::setNonBlocking(bool on) {
    return m_fd.valid() && platform::setNonBlocking(m_fd.get(), on);
}

uint16_t AllocLocalPort() {
    return platform::allocateLocalPort();
}

LinkSocket CreateLinkSocket() {
    return LinkSocket(platform::createTcpSocket().release());
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
        platform::Readiness n =
            platform::waitReadyOrWoken(fd, platform::Io::Write, interrupt.wake, nullptr, slice);
        if (n.failed) {
            return WaitResult::Failed;
        }
        if (n.woken[0]) {
            return WaitResult::Interrupted;
        }
        if (n.ready) {
            return WaitResult::Writable;
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
    platform::ConnectStart started = platform::startConnectTcp4(socket.fd(), address, port);
    if (started == platform::ConnectStart::BadAddress ||
        started == platform::ConnectStart::Failed) {
        // Refused at once (nothing listens on the forward): no point waiting.
        socket.close();
        return 0;
    }
    if (started == platform::ConnectStart::Pending) {
        int timeoutMs = seconds > 0 ? seconds * 1000 : 0;
        if (waitWritable(socket.fd(), timeoutMs, interrupt) != WaitResult::Writable) {
            socket.close();
            return 0;
        }
        // Writable also means "the connect failed"; only a clean SO_ERROR is a link.
        if (platform::socketError(socket.fd()) != 0) {
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
