// The phone-side sync tool, played on two loopback ports: the command port
// (the phone's 7890) answers the module's "AT+CGSN\r\n" probe, and the sync
// port (the phone's 7990) records the status lines the module sends and,
// on command, sends the phone's requests (";START", ";STOP", "STOP_APP") or
// any other bytes. Tests script it directly; `phonesim sync-tool` drives it
// from standard input. Both links are served on the event loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "loopback_server.h"

namespace phonesim {

class SyncTool {
  public:
    static constexpr const char* kProbe = "AT+CGSN\r\n";
    static constexpr size_t kBurstBytes = 128;

    SyncTool() = default;
    ~SyncTool() { stop(); }
    SyncTool(const SyncTool&) = delete;
    SyncTool& operator=(const SyncTool&) = delete;

    // Listens on both ports (0 = any free port). False when one cannot be bound.
    bool start(uint16_t commandPort = 0, uint16_t syncPort = 0);
    // Closes every link and stops listening; idempotent.
    void stop();
    uint16_t commandPort() const { return m_command.port(); }
    uint16_t syncPort() const { return m_sync.port(); }

    // --- Command port (7890) ------------------------------------------------
    // What the tool answers to each probe (default: a 15-digit IMEI and CRLF).
    // An empty answer keeps the tool silent.
    void setProbeAnswer(std::string answer);
    // Every byte the module sent on command links, in order.
    std::string commandReceived() const;
    int commandConnections() const;
    // Closes the open command links: the phone-side tool went away.
    void dropCommandLinks();

    // --- Sync port (7990) ------------------------------------------------------
    // Every byte the module sent on sync links, in order, across links.
    std::string syncReceived() const;
    void clearSyncReceived();
    // Links accepted so far, and links open now.
    int syncConnections() const;
    int openSyncLinks() const;
    // Waits until syncReceived() holds text, or the deadline passes.
    bool waitForSyncReceived(std::string_view text, std::chrono::milliseconds deadline);
    // Waits until at least count links have been accepted and one is open.
    bool waitForSyncLink(int count, std::chrono::milliseconds deadline);
    // Waits until no sync link is open (the module closed its end).
    bool waitForSyncClosed(std::chrono::milliseconds deadline);
    // Called on the event loop's thread with each piece the module sends.
    void setSyncObserver(std::function<void(std::string_view)> observer);

    // Sends bytes in one send on the newest open sync link; false when none.
    bool sendSync(std::string_view bytes);
    bool sendStart(std::string_view text) { return sendSync(std::string(text) + ";START"); }
    bool sendStop(std::string_view text) { return sendSync(std::string(text) + ";STOP"); }
    bool sendStopApp() { return sendSync("STOP_APP"); }
    // kBurstBytes bytes that fill one whole receive of the module.
    bool sendBurst(char fill = 'x') { return sendSync(std::string(kBurstBytes, fill)); }
    // Closes the open sync links from the phone's side.
    void dropSyncLinks();

  private:
    class CommandLink;
    class SyncLink;
    // One read on a link; false when the link has ended.
    bool commandReadable(int fd, std::string& pending);
    bool syncReadable(int fd);
    // Forgets an ended link (before its fd is closed) and wakes waiters.
    void forgetLink(int fd, std::vector<int>& fds);
    // Shuts every link of fds down (their handlers then end).
    void shutdownLinks(const std::vector<int>& fds);
    // Counts and records a new link, and wakes whoever waits for it.
    void admitLink(int fd, int& connections, std::vector<int>& fds);

    LoopbackServer m_command;
    LoopbackServer m_sync;
    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_changed;
    std::string m_probeAnswer = "861234567890123\r\n";
    std::string m_commandReceived;
    int m_commandConnections = 0;
    std::vector<int> m_commandFds;
    std::string m_syncReceived;
    int m_syncConnections = 0;
    std::vector<int> m_syncFds;  // open links, oldest first
    std::function<void(std::string_view)> m_syncObserver;
};

// `phonesim sync-tool`: argc/argv after the command word.
int runSyncToolCommand(int argc, char** argv);

}  // namespace phonesim
