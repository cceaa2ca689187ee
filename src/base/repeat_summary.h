// Keeps a flood of one kind of log line down to two lines a period: the
// first occurrence of a period is told in full, the others are only counted,
// and the count is told once the period is over. A sender that makes the
// module drop a thousand datagrams a second then costs two lines a minute
// instead of rotating the log's history away.
//
// Header-only, shared by the module and the Wi-Fi finder library. Not
// thread-safe: each user keeps its own under its own lock or thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace dd {

class RepeatSummary {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kDefaultPeriod = std::chrono::minutes(1);

    explicit RepeatSummary(Clock::duration period = kDefaultPeriod) : m_period(period) {}

    // Records count occurrences at once. True: the first of them opens a
    // period and is to be told in full (the others are counted); false: all
    // are counted for the summary.
    bool note(Clock::time_point now, uint64_t count = 1) {
        if (count == 0) {
            return false;
        }
        if (m_start && now - *m_start < m_period) {
            m_counted += count;
            return false;
        }
        m_overdue += m_counted;  // a period left over that nobody took
        m_counted = count - 1;
        m_start = now;
        return true;
    }

    // The occurrences counted in periods that are over by now (0: nothing
    // to tell); the next occurrence opens a new period.
    uint64_t takeDue(Clock::time_point now) {
        uint64_t due = m_overdue;
        m_overdue = 0;
        if (m_start && now - *m_start >= m_period) {
            due += m_counted;
            m_counted = 0;
            m_start.reset();
        }
        return due;
    }

    // Every counted occurrence, over or not (at the end).
    uint64_t takeAll() {
        uint64_t all = m_overdue + m_counted;
        m_overdue = 0;
        m_counted = 0;
        m_start.reset();
        return all;
    }

    // When counted occurrences fall due; nullopt when none are counted.
    std::optional<Clock::time_point> due() const {
        if (m_overdue > 0 && m_start) {
            return *m_start;
        }
        if (m_counted > 0 && m_start) {
            return *m_start + m_period;
        }
        return std::nullopt;
    }

  private:
    Clock::duration m_period;
    std::optional<Clock::time_point> m_start;  // the current period's first occurrence
    uint64_t m_counted = 0;                    // counted in the current period
    uint64_t m_overdue = 0;                    // counted in earlier periods, not yet taken
};

}  // namespace dd
