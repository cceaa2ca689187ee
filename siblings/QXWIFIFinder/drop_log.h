// The finder's log of dropped datagrams. Each kind of drop is told in full
// once a minute; the other drops of that minute are counted and told in one
// line when the minute is over (or at stop), so a flood cannot rotate the
// log's history away.
//
// Used by the receiver thread alone.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/repeat_summary.h"

namespace qxwifi {

enum class DropKind : size_t {
    Malformed,      // not an announcement, or too long
    OverBudget,     // its source address spent its budget
    Unread,         // lost by the kernel, the socket's buffer being full
    NotItsAddress,  // names a known phone but comes from another address
    AddressTaken,   // a second phone from an address that serves one
    TableFull,      // a new phone while every place is taken by served phones
    UnknownPhone,   // an event other than connect from a phone not known
    Count,
};

class DropLog {
  public:
    using Clock = std::chrono::steady_clock;

    // count datagrams dropped at now: the first of a minute of their kind is
    // logged in full as line() (built only then), the others are counted.
    template <typename Line>
    void drop(DropKind kind, Clock::time_point now, Line&& line, uint64_t count = 1) {
        if (m_kinds[static_cast<size_t>(kind)].note(now, count)) {
            tell(line());
        }
    }
    // Logs the counts whose minute is over.
    void tellDue(Clock::time_point now);
    // Logs every count (at stop).
    void tellAll();
    // When the next count falls due; nullopt when none waits.
    std::optional<Clock::time_point> due() const;

  private:
    static void tell(const std::string& line);
    static void tellCount(DropKind kind, uint64_t count);

    std::array<dd::RepeatSummary, static_cast<size_t>(DropKind::Count)> m_kinds;
};

}  // namespace qxwifi
