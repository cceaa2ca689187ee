// An exit request that sleeping threads wait on. Every pause of a device
// thread goes through one of these, so stop, disconnect and unplug cut a wait
// short instead of being noticed after the sleep.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/wake_handle.h"

namespace dd {

class ExitFlag {
  public:
    ExitFlag() = default;
    ExitFlag(const ExitFlag&) = delete;
    ExitFlag& operator=(const ExitFlag&) = delete;

    // Sets the flag (0 -> 1) and wakes every waiter. Returns the previous
    // value, so a caller can tell whether it was the first to ask.
    int32_t request();
    bool requested() const { return m_value.load() != 0; }
    int32_t value() const { return m_value.load(); }
    // Wakes waiters without setting the flag, so they re-check their
    // conditions now (for instance after a USB removal).
    void poke();
    // Sleeps up to duration. False when the exit was requested before or
    // during the wait; true when the full time passed or a poke came. A
    // poke that came since the last sleep ended, while the caller was busy
    // checking, ends this one at once: it is not lost.
    bool sleepFor(std::chrono::milliseconds duration);
    // A handle that is signalled on request() and poke(), for waits on
    // sockets too. Created on first use (null when the system has none).
    // drainWake() clears it, and creates it first: a poke only signals a
    // handle that exists, so one between the drain and the wait that
    // follows it must find the handle there.
    const platform::WakeHandle* wakeHandle();
    void drainWake();

  private:
    std::atomic<int32_t> m_value{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    uint64_t m_pokes = 0;                              // guarded by m_mutex
    uint64_t m_pokesSeen = 0;                          // by sleepFor; guarded by m_mutex
    std::optional<platform::WakeHandle> m_wakeHandle;  // guarded by m_mutex
};

// What a long step (boot wait, provisioning, information loop) needs from the
// device thread that runs it: is the phone still there, must we leave, and a
// pause that both of those cut short.
class StepContext {
  public:
    virtual ~StepContext() = default;
    // Presence check: the phone is still on its hub port. A thread that finds
    // it gone marks itself to leave, so exitRequested() is true afterwards.
    virtual bool devicePresent() = 0;
    virtual bool exitRequested() const = 0;
    // Sleeps; false when the thread must leave (exit, stop, user disconnect).
    virtual bool pause(std::chrono::milliseconds duration) = 0;
};

}  // namespace dd
