#include "finder.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/log_text.h"
#include "output_log.h"
#include "platform/stream_socket.h"
#include "wifi_datagram.h"

namespace qxwifi {

namespace {

constexpr int32_t kSeverityWarning = 3;
// The sync status by which the module says that a phone's connection ended.
constexpr int32_t kStatusConnectionEnded = 3;

std::u16string widen(const std::string& text) {
    // The lines are ASCII: phone text is escaped (phoneText) before it joins one.
    std::u16string wide;
    wide.reserve(text.size());
    for (unsigned char c : text) {
        wide.push_back(static_cast<char16_t>(c));
    }
    return wide;
}

// A phone's text for a log line: every byte that is not printable ASCII is
// written as "\xNN", by the module's rule for phone text.
std::string phoneText(const std::string& text) {
    return dd::escapeLogText(text, dd::NonAscii::Escape);
}

// Milliseconds from now until at, rounded up, for the receiver's wait.
int millisecondsUntil(std::chrono::steady_clock::time_point at,
                      std::chrono::steady_clock::time_point now) {
    if (at <= now) {
        return 0;
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
    return static_cast<int>(std::min<long long>(wait, INT_MAX));
}

// The listening address and port from the environment, or the defaults.
// The address is in network order.
bool listenPlace(uint32_t& placeAddress, uint16_t& placePort) {
    const char* address = std::getenv("DEVICEDETECT_WIFI_ADDRESS");
    const char* port = std::getenv("DEVICEDETECT_WIFI_PORT");
    std::string host = address != nullptr && *address != '\0' ? address : Finder::kDefaultAddress;
    std::optional<uint32_t> parsed = dd::platform::parseIpv4(host);
    if (!parsed) {
        log(kSeverityWarning, "QXWIFIFinder: listening address is not IPv4: " + host);
        return false;
    }
    unsigned value = Finder::kDefaultPort;
    if (port != nullptr && *port != '\0') {
        std::string_view text(port);
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || value > 65535) {
            log(kSeverityWarning,
                "QXWIFIFinder: listening port is not a port number: " + std::string(text));
            return false;
        }
    }
    placeAddress = *parsed;
    placePort = static_cast<uint16_t>(value);
    return true;
}

bool parsePort(const char (&field)[8], uint16_t& port) {
    std::string text = fieldText(field);
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// Connects to address:port within the time limit; true when accepted.
bool serviceAccepts(const std::string& address, uint16_t port) {
    dd::platform::StreamSocket socket;
    return socket.connect(address, port,
                          std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(Finder::kConnectTimeoutMs)) ==
           dd::platform::StreamStatus::Ok;
}

}  // namespace

void log(int32_t severity, const std::string& line) {
    OutputString(u"QXWIFIFinder", severity, widen(line + "\n").c_str());
}

Finder::~Finder() {
    stop();
}

int32_t Finder::start(const char* pcIdentity) {
    // The module decides by pairing; the finder reports every phone, and
    // uses the pairing only to choose which phones to forget first.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_receiver.joinable()) {
        return 1;
    }
    uint32_t address = 0;
    uint16_t port = 0;
    if (!listenPlace(address, port)) {
        return 0;
    }
    if (std::string problem; !m_socket.bind(address, port, &problem)) {
        if (!problem.empty()) {
            log(kSeverityWarning, "QXWIFIFinder: cannot listen on " +
                                      dd::platform::formatIpv4(address) + ":" +
                                      std::to_string(port) + ": " + problem);
        }
        return 0;
    }
    m_wake = std::make_unique<dd::platform::WakeHandle>();
    if (!m_wake->valid()) {
        m_wake.reset();
        m_socket.close();
        return 0;
    }
    m_phones.clear();
    m_addresses.clear();
    m_pcIdentity = pcIdentity != nullptr ? std::string(pcIdentity, strnlen(pcIdentity, 511)) : "";
    m_receiver = std::thread([this] { receive(); });
    return 1;
}

int32_t Finder::stop() {
    std::thread receiver;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_receiver.joinable()) {
            return 0;
        }
        m_wake->signal();
        receiver = std::move(m_receiver);
    }
    receiver.join();  // no callback runs after this
    std::lock_guard<std::mutex> lock(m_mutex);
    m_socket.close();
    m_wake.reset();
    m_phones.clear();
    m_addresses.clear();
    return 1;
}

void Finder::receive() {
    // One byte more than the longest announcement, so a longer datagram is
    // seen as such (MSG_TRUNC gives its whole length).
    std::vector<char> buffer(kMaxDatagramBytes + 1);
    uint32_t lostBefore = 0;
    for (;;) {
        Clock::time_point now = Clock::now();
        m_drops.tellDue(now);
        // Idle, nothing waits: no time limit. Over the read budget the
        // socket is left alone until the budget's window ends.
        bool reading = m_budget.mayRead(now);
        std::optional<Clock::time_point> wakeAt = m_drops.due();
        if (!reading && (!wakeAt || m_budget.readableAt() < *wakeAt)) {
            wakeAt = m_budget.readableAt();
        }
        dd::platform::WaitResult waited = dd::platform::waitForInput(
            *m_wake, reading ? m_socket.handle() : dd::platform::kNoHandle,
            wakeAt ? millisecondsUntil(*wakeAt, now) : -1);
        if (waited == dd::platform::WaitResult::Woken ||
            waited == dd::platform::WaitResult::Failed) {
            break;
        }
        if (waited == dd::platform::WaitResult::Input) {
            readDatagram(buffer, lostBefore);
        }
    }
    m_drops.tellAll();
}

void Finder::readDatagram(std::vector<char>& buffer, uint32_t& lostBefore) {
    dd::platform::ReceivedDatagram got;
    if (!m_socket.receive(buffer.data(), buffer.size(), got)) {
        return;
    }
    Clock::time_point now = Clock::now();
    m_budget.countRead(now);
    if (got.dropTotal) {
        uint32_t lostNow = *got.dropTotal - lostBefore;  // the kernel's count wraps
        lostBefore = *got.dropTotal;
        m_drops.drop(
            DropKind::Unread, now,
            [&] {
                return "QXWIFIFinder: " + std::to_string(lostNow) +
                       " datagrams were lost unread, the socket's buffer being full";
            },
            lostNow);
    }
    std::string address = dd::platform::formatIpv4(got.source);
    if (!m_budget.takeFromSource(got.source, now)) {
        m_drops.drop(DropKind::OverBudget, now, [&] {
            return "QXWIFIFinder: dropped a datagram from " + address +
                   ": over its address's budget";
        });
        return;
    }
    if (got.size > kMaxDatagramBytes) {
        m_drops.drop(DropKind::Malformed, now,
                     [&] { return "QXWIFIFinder: dropped an oversized datagram from " + address; });
        return;
    }
    handleDatagram(buffer.data(), got.size, address, now);
}

void Finder::handleDatagram(const char* data, size_t size, const std::string& source,
                            Clock::time_point now) {
    std::string why;
    std::optional<Announcement> announcement = parseAnnouncement({data, size}, &why);
    if (!announcement) {
        m_drops.drop(DropKind::Malformed, now, [&] {
            return "QXWIFIFinder: dropped a datagram from " + source + ": " + why;
        });
        return;
    }
    WifiDevRecord& record = announcement->record;
    // The phone is where its datagram came from, whatever it says.
    setField(record.ip, source);
    std::string imei = fieldText(record.imei);
    const char* event = eventName(announcement->event);
    WifiDevRecord report{};
    std::optional<Drop> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto known = m_phones.find(imei);
        if (known != m_phones.end() && fieldText(known->second.record.ip) != source) {
            // Another sender cannot speak for a phone it is not.
            dropped = Drop{DropKind::NotItsAddress,
                           "QXWIFIFinder: dropped a " + std::string(event) + " for " +
                               phoneText(imei) + " from " + source + ", which is not its address"};
        } else if (announcement->event == AnnouncementEvent::Connect) {
            if (known == m_phones.end()) {
                dropped = placeNewPhoneLocked(imei, source);
            }
            if (!dropped) {
                Phone& phone = m_phones[imei];
                phone.record = record;
                phone.paired = !m_pcIdentity.empty() && fieldText(record.paired) == m_pcIdentity;
                phone.heard = now;
                m_addresses[source] = imei;
                report = record;
            }
        } else if (known == m_phones.end()) {
            dropped = Drop{DropKind::UnknownPhone, "QXWIFIFinder: " + std::string(event) +
                                                       " from unknown phone " + phoneText(imei) +
                                                       " at " + source};
        } else {
            known->second.heard = now;
            report = known->second.record;  // the record as the phone connected
            if (announcement->event == AnnouncementEvent::Disconnect) {
                forgetLocked(known);
            }
        }
    }
    if (dropped) {
        m_drops.drop(dropped->kind, now, [&] { return dropped->line; });
        return;
    }
    StateCallback onState = m_onState.load();
    int32_t taken =
        onState != nullptr ? onState(&report, static_cast<int32_t>(announcement->event)) : 0;
    if (announcement->event == AnnouncementEvent::Connect) {
        noteServed(imei, source, taken == 1);
    }
}

std::optional<Finder::Drop> Finder::placeNewPhoneLocked(const std::string& imei,
                                                        const std::string& source) {
    if (auto at = m_addresses.find(source); at != m_addresses.end()) {
        auto there = m_phones.find(at->second);
        if (there != m_phones.end() && there->second.served) {
            return Drop{DropKind::AddressTaken,
                        "QXWIFIFinder: dropped a connect for " + phoneText(imei) + " from " +
                            source + ", which serves " + phoneText(at->second) + " already"};
        }
        // The phone the module did not take has left the address, or was
        // never a phone: the newcomer has it now.
        if (there != m_phones.end()) {
            forgetLocked(there);
        } else {
            m_addresses.erase(at);
        }
    }
    if (m_phones.size() < kMaxPhones) {
        return std::nullopt;
    }
    // Full: forget a phone the module did not take, unpaired ones first, the
    // one silent longest among them.
    auto victim = m_phones.end();
    for (auto it = m_phones.begin(); it != m_phones.end(); ++it) {
        const Phone& phone = it->second;
        if (phone.served) {
            continue;
        }
        if (victim == m_phones.end() || phone.paired < victim->second.paired ||
            (phone.paired == victim->second.paired && phone.heard < victim->second.heard)) {
            victim = it;
        }
    }
    if (victim == m_phones.end()) {
        return Drop{DropKind::TableFull, "QXWIFIFinder: dropped a connect for " + phoneText(imei) +
                                             " from " + source + ": " + std::to_string(kMaxPhones) +
                                             " phones are served"};
    }
    forgetLocked(victim);
    return std::nullopt;
}

void Finder::forgetLocked(PhoneTable::iterator phone) {
    auto at = m_addresses.find(fieldText(phone->second.record.ip));
    if (at != m_addresses.end() && at->second == phone->first) {
        m_addresses.erase(at);
    }
    m_phones.erase(phone);
}

void Finder::noteServed(const std::string& imei, const std::string& source, bool served) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto known = m_phones.find(imei);
    if (known != m_phones.end() && fieldText(known->second.record.ip) == source) {
        known->second.served = served;
    }
}

int32_t Finder::startClient(const WifiDevRecord* record) {
    if (record == nullptr) {
        return 0;
    }
    std::string imei = fieldText(record->imei);
    std::string address;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto known = m_phones.find(imei);
        if (known == m_phones.end()) {
            return 0;
        }
        address = fieldText(known->second.record.ip);  // our own, not the caller's
    }
    uint16_t port = 0;
    if (!parsePort(record->port, port)) {
        return 0;
    }
    return serviceAccepts(address, port) ? 1 : 0;
}

int32_t Finder::setDevStatus(int32_t status, const WifiDevRecord* record) {
    if (record == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    auto known = m_phones.find(fieldText(record->imei));
    if (known == m_phones.end()) {
        return 0;
    }
    known->second.status = status;
    if (status == kStatusConnectionEnded) {
        known->second.served = false;  // the module has let the phone go
    }
    return 1;
}

void Finder::removeDev(const char* imei) {
    if (imei == nullptr) {
        return;
    }
    std::string key(imei, strnlen(imei, sizeof(WifiDevRecord::imei)));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto known = m_phones.find(key); known != m_phones.end()) {
        forgetLocked(known);
    }
}

}  // namespace qxwifi
