// One holder at a time; a caller waiting for its turn gives up at its own
// deadline. Built on a condition variable rather than std::timed_mutex,
// whose timed lock is a call that ThreadSanitizer does not see (it then
// reports every unlock as an unlock of an unlocked mutex).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace devctl {

class DeadlineGate {
  public:
    // True when the caller holds the gate; false when end came first.
    bool enter(std::chrono::steady_clock::time_point end) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_free.wait_until(lock, end, [this] { return !m_busy; })) {
            return false;
        }
        m_busy = true;
        return true;
    }
    void leave() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_busy = false;
        }
        m_free.notify_one();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_free;
    bool m_busy = false;  // guarded by m_mutex
};

// Holds a gate for a scope, when it could be entered in time.
class GateHold {
  public:
    GateHold(DeadlineGate& gate, std::chrono::steady_clock::time_point end)
        : m_gate(gate), m_held(gate.enter(end)) {}
    ~GateHold() {
        if (m_held) {
            m_gate.leave();
        }
    }
    GateHold(const GateHold&) = delete;
    GateHold& operator=(const GateHold&) = delete;
    bool held() const { return m_held; }

  private:
    DeadlineGate& m_gate;
    bool m_held;
};

}  // namespace devctl
