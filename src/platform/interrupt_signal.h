// The user's request to end a console program (Ctrl+C, or SIGINT/SIGTERM on
// Linux; Ctrl+C, Ctrl+Break and closing the console on Windows), taken as a
// handle the main loop waits on beside its other inputs, never in a handler
// that runs in the middle of whatever thread it lands on.
#pragma once

#include "platform/native_handle.h"

namespace dd::platform {

class InterruptSignal {
  public:
    // Takes the requests over from the system's default (which ends the
    // process). Make it on the main thread before any other thread starts:
    // threads started later leave the requests to it.
    InterruptSignal();
    ~InterruptSignal();
    InterruptSignal(const InterruptSignal&) = delete;
    InterruptSignal& operator=(const InterruptSignal&) = delete;

    // Signalled once a request has come; kNoHandle when none can be had.
    NativeHandle handle() const { return m_handle; }

  private:
    NativeHandle m_handle = kNoHandle;
};

}  // namespace dd::platform
