// A phone on adb's TCP transport: what "adb connect 127.0.0.1:PORT" reaches.
// It plays the device side of adb's wire protocol (24-byte messages CNXN,
// AUTH, OPEN, OKAY, WRTE, CLSE) well enough for the real adb server to use
// it as it uses a phone: shell: (the raw shell, answered by an AdbPhone)
// and tcp:PORT (relayed to the loopback port that plays the phone's
// service), which is what the module's commands and forwards open. With
// the prompt on, the phone answers the server's CNXN with an AUTH token and
// accepts no key until authorize() (its user accepting the USB debugging
// prompt): the server lists it as "unauthorized" meanwhile, as a real one.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "adb_phone.h"
#include "loopback_server.h"

namespace phonesim {

class AdbTcpPhone {
  public:
    // prompt: the phone asks its user before it takes the server's key.
    AdbTcpPhone(std::shared_ptr<AdbPhone> phone, bool prompt);
    ~AdbTcpPhone() { stop(); }
    AdbTcpPhone(const AdbTcpPhone&) = delete;
    AdbTcpPhone& operator=(const AdbTcpPhone&) = delete;

    // Listens on 127.0.0.1:port (0: any free port).
    bool start(uint16_t port = 0);
    // Closes every transport connection: the server sees the phone go.
    void stop() { m_server.stop(); }
    uint16_t port() const { return m_server.port(); }
    // The serial the server gives the phone: "127.0.0.1:PORT".
    std::string serial() const;
    // The user accepts the prompt; a server waiting for it is let in.
    void authorize();
    // Transport connections the server holds now, and services it opened.
    int connections() const;
    std::vector<std::string> servicesOpened() const;

  private:
    void serve(int fd);

    std::shared_ptr<AdbPhone> m_phone;
    LoopbackServer m_server;
    std::atomic<bool> m_authorized;
    mutable std::mutex m_mutex;  // guards the members below
    std::map<int, int> m_wakes;  // transport fd -> its eventfd, poked by authorize()
    std::vector<std::string> m_services;
};

}  // namespace phonesim
