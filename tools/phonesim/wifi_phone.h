// A simulated Wi-Fi phone: its companion service on port 8183 of a loopback
// address of its own (127.0.0.x), and announcements to the Wi-Fi finder sent
// from that address, one JSON datagram per state change. Many phones run
// side by side, also with other tests' phones: each takes a random free
// address and tries another when 8183 is taken there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "companion_service.h"
#include "wifi_datagram.h"

namespace phonesim {

struct WifiPhoneSpec {
    std::string imei = "860000000000101";
    std::string serial = "WIFI0001";
    std::string model = "Orq One";
    std::string brand = "Orq";
    std::string version = "10";
    std::string sdk = "29";
    std::string pid = "2e76";
    std::string paired;  // identity of the PC the phone is paired with
    int32_t autolaunch = 1;
    // The port the phone puts in its announcement (the module uses 8183).
    std::string announcedPort = "8183";
};

class WifiPhone {
  public:
    static constexpr uint16_t kServicePort = 8183;

    explicit WifiPhone(WifiPhoneSpec spec);
    ~WifiPhone();
    WifiPhone(const WifiPhone&) = delete;
    WifiPhone& operator=(const WifiPhone&) = delete;

    // Takes an address and starts the companion service there; it reports
    // the IMEI, serial and pairing it was made with. False when no address
    // was free.
    bool start();
    void stop();
    const std::string& address() const { return m_address; }
    const WifiPhoneSpec& spec() const { return m_spec; }
    CompanionService& service() { return *m_service; }

    // Where the announcements go (default 127.0.0.1 and the finder's
    // default port).
    void setFinder(const std::string& address, uint16_t port);
    // Sends one announcement from the phone's address; false when it
    // could not be sent.
    bool announce(qxwifi::AnnouncementEvent event);
    bool connect() { return announce(qxwifi::AnnouncementEvent::Connect); }
    bool disconnect() { return announce(qxwifi::AnnouncementEvent::Disconnect); }
    bool startSync() { return announce(qxwifi::AnnouncementEvent::StartSync); }
    bool stopSync() { return announce(qxwifi::AnnouncementEvent::StopSync); }
    // Sends raw bytes to the finder from the phone's address.
    bool sendRaw(const std::string& bytes);

  private:
    WifiPhoneSpec m_spec;
    std::string m_address;
    std::unique_ptr<CompanionService> m_service;
    std::string m_finderAddress = "127.0.0.1";
    uint16_t m_finderPort = 8184;
};

// Sends bytes in one datagram from a loopback address to address:port.
bool sendDatagram(const std::string& from, const std::string& address, uint16_t port,
                  const std::string& bytes);

}  // namespace phonesim
