// A port forward of the emulated adb server: it listens on a local loopback
// port and relays each connection, byte for byte in both directions, to the
// loopback port that plays the phone's service (what adbd would reach on the
// phone). A forward whose phone port has no service accepts and closes, as
// adb does when the phone refuses the connection. Relays run on the event
// loop: a plugged phone's held links cost no thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "loopback_server.h"

namespace phonesim {

class AdbForward {
  public:
    // Resolves the phone port to a loopback port at connection time (0: none).
    using Target = std::function<uint16_t()>;

    AdbForward(std::string serial, std::string remote, Target target);
    ~AdbForward() { stop(); }
    AdbForward(const AdbForward&) = delete;
    AdbForward& operator=(const AdbForward&) = delete;

    // Binds 127.0.0.1:localPort (0 picks a free one); false when it cannot.
    bool start(uint16_t localPort);
    void stop() { m_server.stop(); }
    uint16_t localPort() const { return m_server.port(); }
    const std::string& serial() const { return m_serial; }
    const std::string& remote() const { return m_remote; }

  private:
    std::unique_ptr<Session> relay(int clientFd);

    std::string m_serial;
    std::string m_remote;
    Target m_target;
    LoopbackServer m_server;
};

}  // namespace phonesim
