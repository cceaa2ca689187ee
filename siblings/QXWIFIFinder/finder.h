// The finder behind the nine entry points: a UDP receiver for the phones'
// announcements and a table of the phones it knows.
//
// Anyone who can reach the port can announce phones, so what a sender can
// make the finder keep and do is bounded:
//   - the table holds at most kMaxPhones phones; a new one takes the place
//     of a phone the module did not take (unpaired ones first, then the one
//     silent longest), and is dropped when every place is taken by phones
//     the module serves;
//   - an address serves one phone at a time: a connect for another phone
//     from an address whose phone the module serves is dropped, and one
//     whose phone the module did not take replaces that phone;
//   - each datagram is charged to the socket's and its address's budgets
//     (DatagramBudget) before it is parsed;
//   - dropped datagrams are logged once a minute per kind, with a count
//     (DropLog), and phone text in the log is escaped.
//
// Threads: the receiver thread reads datagrams and calls the module's
// callbacks; the module's threads call the entry points. The table and the
// callbacks are guarded by one mutex, which is never held while a callback
// runs (a callback may call back into the finder) nor while logging. The
// budget and the drop log belong to the receiver thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "datagram_budget.h"
#include "devicedetect/QXWIFIFinder.h"
#include "drop_log.h"
#include "platform/udp_socket.h"
#include "platform/wake_handle.h"

namespace qxwifi {

using StateCallback = int32_t (*)(WifiDevRecord*, int32_t);
using SyncCallback = void (*)(WifiDevRecord*, int32_t);

class Finder {
  public:
    // Default listening place; DEVICEDETECT_WIFI_ADDRESS and
    // DEVICEDETECT_WIFI_PORT override it.
    static constexpr const char* kDefaultAddress = "127.0.0.1";
    static constexpr uint16_t kDefaultPort = 8184;
    // How long StartClient waits for the phone's service to accept.
    static constexpr int kConnectTimeoutMs = 2000;
    // Phones the table holds at most: about twice what the module serves
    // over Wi-Fi at most, so that served phones and a network's worth of
    // others fit.
    static constexpr size_t kMaxPhones = 512;

    Finder() = default;
    ~Finder();
    Finder(const Finder&) = delete;
    Finder& operator=(const Finder&) = delete;

    int32_t start(const char* pcIdentity);
    int32_t stop();
    void setStateCallback(StateCallback callback) { m_onState.store(callback); }
    void setSyncCallback(SyncCallback callback) { m_onSync.store(callback); }
    int32_t startClient(const WifiDevRecord* record);
    int32_t setDevStatus(int32_t status, const WifiDevRecord* record);
    void removeDev(const char* imei);

  private:
    using Clock = std::chrono::steady_clock;

    struct Phone {
        WifiDevRecord record{};
        int32_t status = -1;      // last sync status the module reported
        bool paired = false;      // its paired text is this PC's identity
        bool served = false;      // the module took its connect and has not let it go
        Clock::time_point heard;  // its last datagram
    };
    using PhoneTable = std::map<std::string, Phone>;

    // A datagram dropped while the table was locked, logged once it is not.
    struct Drop {
        DropKind kind;
        std::string line;
    };

    void receive();
    void readDatagram(std::vector<char>& buffer, uint32_t& lostBefore);
    void handleDatagram(const char* data, size_t size, const std::string& source,
                        Clock::time_point now);
    // Under m_mutex: makes a place for a new phone at source. nullopt when
    // done, else why the phone cannot have one.
    std::optional<Drop> placeNewPhoneLocked(const std::string& imei, const std::string& source);
    void forgetLocked(PhoneTable::iterator phone);
    // Marks the phone the module answered about (when still the same one).
    void noteServed(const std::string& imei, const std::string& source, bool served);

    std::mutex m_mutex;   // guards the four members below and the thread handle
    PhoneTable m_phones;  // by IMEI
    std::map<std::string, std::string> m_addresses;  // address -> IMEI of its phone
    std::string m_pcIdentity;
    std::atomic<StateCallback> m_onState{nullptr};
    std::atomic<SyncCallback> m_onSync{nullptr};
    std::thread m_receiver;
    dd::platform::UdpSocket m_socket;  // open from start to stop; read by the receiver
    std::unique_ptr<dd::platform::WakeHandle> m_wake;  // ends the receiver
    DatagramBudget m_budget;                           // the receiver's
    DropLog m_drops;                                   // the receiver's
};

// Logs one line through the suite's log sink.
void log(int32_t severity, const std::string& line);

}  // namespace qxwifi
