#include "platform/wake_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace dd::platform {

WakeEvent::~WakeEvent() {
    close();
}

bool WakeEvent::open() {
    close();
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    m_handle = fd;
    return true;
}

void WakeEvent::close() {
    if (m_handle != kNoHandle) {
        ::close(static_cast<int>(m_handle));
        m_handle = kNoHandle;
    }
}

void WakeEvent::signal() {
    if (m_handle != kNoHandle) {
        uint64_t one = 1;
        (void)!write(static_cast<int>(m_handle), &one, sizeof(one));
    }
}

WaitResult waitForInput(const WakeEvent& event, NativeHandle input, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int wait = timeoutMs;
    for (;;) {
        pollfd fds[2] = {{static_cast<int>(event.handle()), POLLIN, 0},
                         {static_cast<int>(input), POLLIN, 0}};
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
