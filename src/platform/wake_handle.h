// A handle that one thread signals and another waits on beside a socket or a
// port: how a blocked wait is told to stop or to look again. Signals add up
// until drained, so a signal given before the wait began is not lost.
#pragma once

#include "platform/native_handle.h"
#include "platform/unique_fd.h"

namespace dd::platform {

class WakeHandle {
  public:
    // Creates the handle; valid() is false when the system has none to give.
    WakeHandle();
    WakeHandle(const WakeHandle&) = delete;
    WakeHandle& operator=(const WakeHandle&) = delete;

    bool valid() const { return m_fd.valid(); }
    // Thread-safe; makes the handle readable until drain().
    void signal() const;
    void drain() const;
    // The waitable descriptor, for the platform's own waits.
    int native() const { return m_fd.get(); }

  private:
    UniqueFd m_fd;
};

enum class WaitResult {
    Woken,     // the handle is signalled (it wins over input that came too)
    Input,     // input has arrived on the input handle, or it has closed or failed
    TimedOut,  // the time passed first
    Failed,    // the wait itself failed
};

// Waits for wake, for input on input (kNoHandle: none) and for timeoutMs
// (negative: no limit). An interrupted wait goes on with the time left.
WaitResult waitForInput(const WakeHandle& wake, NativeHandle input, int timeoutMs);

}  // namespace dd::platform
