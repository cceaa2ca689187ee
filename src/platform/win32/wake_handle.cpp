#include "platform/wake_handle.h"

#include <chrono>

#include "platform/win32/socket_wait.h"
#include "platform/win32/win_handle.h"

namespace dd::platform {

// A manual-reset event: signals stay until drained, and a wait only looks.
WakeHandle::WakeHandle() : m_fd(win32::fromHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

void WakeHandle::signal() const {
    if (m_fd.valid()) {
        SetEvent(win32::toHandle(m_fd.get()));
    }
}

void WakeHandle::drain() const {
    if (m_fd.valid()) {
        ResetEvent(win32::toHandle(m_fd.get()));
    }
}

WaitResult waitForInput(const WakeHandle& wake, NativeHandle input, int timeoutMs) {
    HANDLE event = wake.valid() ? win32::toHandle(wake.native()) : nullptr;
    const int fd = input == kNoHandle ? -1 : static_cast<int>(input);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int wait = timeoutMs;
    for (;;) {
        win32::SocketWait r = win32::waitSocketOrEvents(fd, false, event, nullptr, wait);
        if (r.failed) {
            return WaitResult::Failed;
        }
        if (r.timedOut) {
            return WaitResult::TimedOut;
        }
        if (r.woken[0]) {
            return WaitResult::Woken;
        }
        if (r.ready) {
            return WaitResult::Input;
        }
        // Woken by a change that was gone before it was looked at: the time
        // left, again.
        if (timeoutMs >= 0) {
            wait = win32::millisecondsLeft(deadline);
        }
    }
}

}  // namespace dd::platform
