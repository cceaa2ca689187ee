// An event one thread sets to wake another that sleeps waiting for input,
// and the wait itself: a thread sleeps until its event is set, a handle has
// input, or a time passes, and costs nothing meanwhile.
#pragma once

#include "platform/native_handle.h"

namespace dd::platform {

class WakeEvent {
  public:
    WakeEvent() = default;
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // False when the system has no event left to give.
    bool open();
    void close();
    bool valid() const { return m_handle != kNoHandle; }
    // Sets the event; it stays set (every later wait returns at once).
    void signal();
    NativeHandle handle() const { return m_handle; }

  private:
    NativeHandle m_handle = kNoHandle;
};

enum class WaitResult {
    Woken,     // the event is set (it wins over input that came too)
    Input,     // input has arrived on the handle, or it has closed or failed
    TimedOut,  // the time passed first
    Failed,    // the wait itself failed
};

// Waits for the event, for input on input (kNoHandle: none) and for timeoutMs
// (negative: no limit). An interrupted wait goes on with the time left.
WaitResult waitForInput(const WakeEvent& event, NativeHandle input, int timeoutMs);

}  // namespace dd::platform
