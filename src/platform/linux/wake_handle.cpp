#include "platform/wake_handle.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace dd::platform {

WakeHandle::WakeHandle() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void WakeHandle::signal() const {
    if (m_fd.valid()) {
        uint64_t one = 1;
        (void)!::write(m_fd.get(), &one, sizeof(one));
    }
}

void WakeHandle::drain() const {
    if (m_fd.valid()) {
        uint64_t count = 0;
        (void)!::read(m_fd.get(), &count, sizeof(count));
    }
}

WaitResult waitForInput(const WakeHandle& wake, NativeHandle input, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int wait = timeoutMs;
    for (;;) {
        pollfd fds[2] = {{wake.native(), POLLIN, 0}, {static_cast<int>(input), POLLIN, 0}};
        int ready = poll(fds, 2, wait);
        if (ready < 0) {
            if (errno != EINTR) {
                return WaitResult::Failed;
            }
            if (timeoutMs >= 0) {
                auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
                wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
            }
            continue;
        }
        if (ready == 0) {
            return WaitResult::TimedOut;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return WaitResult::Woken;
        }
        if (fds[1].revents != 0) {
            return WaitResult::Input;  // readable, or hung up or failed: the next read tells
        }
    }
}

}  // namespace dd::platform
