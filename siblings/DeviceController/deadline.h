// The one time limit of a command: every wait of the command takes what is
// left of it, so a command never outlives its limit however many steps it has.
#pragma once

#include <algorithm>
#include <chrono>

namespace devctl {

class Deadline {
  public:
    explicit Deadline(std::chrono::milliseconds limit)
        : m_end(std::chrono::steady_clock::now() + limit) {}
    // Milliseconds left, rounded up so that a wait never spins on 0 early.
    int remainingMs() const {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            m_end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return 0;
        }
        return static_cast<int>(
            std::min<long long>((left.count() + 999) / 1000, 24LL * 3600 * 1000));
    }
    bool passed() const { return std::chrono::steady_clock::now() >= m_end; }
    std::chrono::steady_clock::time_point end() const { return m_end; }

  private:
    std::chrono::steady_clock::time_point m_end;
};

// DEVICEDETECT_ADB_TIMEOUT_MS, else 20000 (the limit the module's callers use).
std::chrono::milliseconds commandTimeLimit();

}  // namespace devctl
