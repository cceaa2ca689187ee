// An emulated adb server on a loopback port for any number of fake phones.
// It answers the host protocol the way the real server does, closely enough
// that the real adb client works against it (adb -P PORT ...): version,
// devices, track-devices, features, transport selection, shell, sync (push
// install), port forwards with real TCP relays, and kill. After host:kill it
// stops listening, as the real server exits; start() brings it back with the
// same phones. Phones reach it as real ones do (AdbPhoneConfig: listed some
// time after their plug, "offline" for a moment, "unauthorized" until their
// user accepts), and a restarted server finds them again only after
// setRediscoveryDelay.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "adb_forward.h"
#include "adb_phone.h"
#include "loopback_server.h"

namespace phonesim {

// The protocol version of Debian's adb 1.0.41 client; a server that answers
// another version is killed and replaced by that client.
constexpr int kDefaultAdbServerVersion = 41;

class AdbServer {
  public:
    explicit AdbServer(int version = kDefaultAdbServerVersion);
    ~AdbServer();
    AdbServer(const AdbServer&) = delete;
    AdbServer& operator=(const AdbServer&) = delete;

    // Listens on 127.0.0.1:port (0 picks a free port, or the port used last
    // time when there was one). False when the port cannot be bound.
    bool start(uint16_t port = 0);
    // Stops listening and removes every forward, as the server's exit does.
    void stop();
    bool running() const { return m_running.load(); }
    uint16_t port() const { return m_lastPort.load(); }
    // Waits until the server has stopped (after host:kill); false on timeout.
    bool waitStopped(std::chrono::milliseconds deadline);
    // Number of host:kill requests served.
    int killCount() const;
    // host:kill drops every forward and counts, but the server goes on
    // listening, as if the next "adb start-server" had already run: for
    // in-process tests of callers that restart the server.
    void setRestartAfterKill(bool restart) { m_restartAfterKill = restart; }
    // How long a restarted server takes to find its phones again (each is
    // then "offline" for its offlineFor). 0 by default: at once.
    void setRediscoveryDelay(std::chrono::milliseconds delay);
    // The user of serial's phone accepts the USB debugging prompt.
    bool authorize(const std::string& serial);
    // The phone's USB plug: its way into adb (listedAfter ...) starts now.
    bool attachNow(const std::string& serial);
    // Connections following host:track-devices now.
    int trackers() const;
    void addPhone(AdbPhoneConfig config);
    // A phone asked for by a serial the server does not know is made from
    // this config (with that serial) on first use, so a test whose fake USB
    // tree plugs phones of any serial has an adb answer for each. nullopt:
    // unknown serials are "not found", as on a real server.
    void setPhoneTemplate(std::optional<AdbPhoneConfig> config);
    bool removePhone(const std::string& serial);
    std::shared_ptr<AdbPhone> phone(const std::string& serial) const;

    // The request texts received, in order (the last few thousand; tests look at what was asked).
    std::vector<std::string> requests() const;
    // Local ports of the forwards now open.
    std::vector<uint16_t> forwardPorts() const;

  private:
    struct Selected {
        std::shared_ptr<AdbPhone> phone;
        std::string error;  // FAIL message when no phone could be chosen
    };

    void serve(int fd);
    bool serveHost(int fd, const std::string& request, std::shared_ptr<AdbPhone>& transport);
    void servePhone(int fd, const std::string& request, AdbPhone& phone);
    void serveForward(int fd, const std::string& serial, const std::string& spec);
    void serveKillForward(int fd, const std::string& serial, const std::string& local);
    void serveTrackDevices(int fd);
    // The list may have changed: every track-devices connection looks again,
    // and the control thread learns of new timings.
    void phonesChanged();
    // Phones drop out of the list at a kill and come back after the delay.
    void rediscoverPhones();
    // host:kill while the listener stays: the followers of the list are cut.
    void endTrackersLocked();
    Selected select(const std::string& which);
    std::string devicesText(bool longForm) const;
    std::string forwardList() const;
    // Under m_mutex: moves the forwards of serial into gone (their relays
    // are closed outside the lock).
    void takeForwardsLocked(const std::string& serial,
                            std::vector<std::unique_ptr<AdbForward>>& gone);
    void requestKill();
    void controlLoop();

    const int m_version;
    std::mutex m_lifeMutex;  // serialises start() and stop() (test thread, control thread)
    LoopbackServer m_server;
    std::atomic<bool> m_running{false};
    std::atomic<uint16_t> m_lastPort{0};
    std::atomic<bool> m_restartAfterKill{false};

    mutable std::mutex m_mutex;  // guards the members below
    std::map<std::string, std::shared_ptr<AdbPhone>> m_phones;
    std::optional<AdbPhoneConfig> m_template;
    uint32_t m_nextTransportId = 1;
    // Key: local spec ("tcp:6100").
    std::map<std::string, std::unique_ptr<AdbForward>> m_forwards;
    std::vector<std::string> m_requests;
    int m_kills = 0;
    std::chrono::milliseconds m_rediscoveryDelay{0};
    // track-devices connections: their wake descriptors (eventfd) by id.
    std::map<uint64_t, int> m_trackers;
    uint64_t m_nextTracker = 1;
    uint64_t m_trackerEpoch = 0;      // a kill ends the connections of older epochs
    uint64_t m_timingGeneration = 0;  // the control thread re-reads the phones' timings
    bool m_killPending = false;
    bool m_quit = false;
    std::condition_variable m_control;  // kill requests, quit, and the stop that follows
    // Stops the listener after host:kill: the handler that got the request
    // cannot stop the server that is joining it.
    std::thread m_controlThread;
};

}  // namespace phonesim
