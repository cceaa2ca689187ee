#include "drop_log.h"

#include "finder.h"

namespace qxwifi {

namespace {

constexpr int32_t kSeverityWarning = 3;

const char* kindText(DropKind kind) {
    switch (kind) {
        case DropKind::Malformed:
            return "malformed or too long";
        case DropKind::OverBudget:
            return "over their address's budget";
        case DropKind::Unread:
            return "lost unread, the socket's buffer being full";
        case DropKind::NotItsAddress:
            return "naming a phone known at another address";
        case DropKind::AddressTaken:
            return "another phone from an address that serves one";
        case DropKind::TableFull:
            return "a new phone while every place is taken";
        case DropKind::UnknownPhone:
            return "from phones not known";
        case DropKind::Count:
            break;
    }
    return "other";
}

}  // namespace

void DropLog::tell(const std::string& line) {
    log(kSeverityWarning, line);
}

void DropLog::tellCount(DropKind kind, uint64_t count) {
    if (count > 0) {
        tell("QXWIFIFinder: dropped " + std::to_string(count) +
             " more datagrams within a minute: " + kindText(kind));
    }
}

void DropLog::tellDue(Clock::time_point now) {
    for (size_t i = 0; i < m_kinds.size(); ++i) {
        tellCount(static_cast<DropKind>(i), m_kinds[i].takeDue(now));
    }
}

void DropLog::tellAll() {
    for (size_t i = 0; i < m_kinds.size(); ++i) {
        tellCount(static_cast<DropKind>(i), m_kinds[i].takeAll());
    }
}

std::optional<DropLog::Clock::time_point> DropLog::due() const {
    std::optional<Clock::time_point> first;
    for (const dd::RepeatSummary& kind : m_kinds) {
        std::optional<Clock::time_point> at = kind.due();
        if (at && (!first || *at < *first)) {
            first = at;
        }
    }
    return first;
}

}  // namespace qxwifi
