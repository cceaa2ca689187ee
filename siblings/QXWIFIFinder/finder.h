// The finder behind the nine entry points: a UDP receiver for the phones'
// announcements and a table of the phones it knows.
//
// Threads: the receiver thread reads datagrams and calls the module's
// callbacks; the module's threads call the entry points. The table and the
// callbacks are guarded by one mutex, which is never held while a callback
// runs (a callback may call back into the finder).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "devicedetect/QXWIFIFinder.h"

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
    struct Phone {
        WifiDevRecord record{};
        int32_t status = -1;  // last sync status the module reported
    };

    void receive();
    void handleDatagram(const char* data, size_t size, const std::string& source);

    std::mutex m_mutex;                     // guards m_phones and the thread handle
    std::map<std::string, Phone> m_phones;  // by IMEI
    std::atomic<StateCallback> m_onState{nullptr};
    std::atomic<SyncCallback> m_onSync{nullptr};
    std::thread m_receiver;
    int m_socket = -1;  // owned from start to stop; read by the receiver
    int m_wakeFd = -1;  // eventfd that ends the receiver
};

// Logs one line through the suite's log sink.
void log(int32_t severity, const std::string& line);

}  // namespace qxwifi
