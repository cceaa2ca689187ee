// A TCP server on 127.0.0.1 (or another loopback address). Every simulated peer (adb server,
// companion service, sync tool, forward) is one of these. It accepts on the process's event loop
// and serves each connection one of two ways:
//  - a Handler: blocking code on a thread of its own, for short exchanges (one HTTP request, one
//    adb request) and for tests that script a peer step by step;
//  - a Session: event-driven code on the loop's thread, for the links a phone holds open for as
//    long as it is plugged in (forward relays, the phone tools' links), so they cost no thread.
// Stopping stops accepting, shuts down the open connections and joins every thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace phonesim {

// One event-driven connection. Its calls run on the event loop's thread.
class Session {
  public:
    virtual ~Session() = default;
    // The fd is readable (or hung up): read what is there. False ends the
    // connection; the session is destroyed before the fd is closed.
    virtual bool onReadable(int fd) = 0;
};

class LoopbackServer {
  public:
    using Handler = std::function<void(int fd)>;  // the fd is closed after the handler returns
    // Makes the session of a new connection; nullptr refuses it.
    using SessionFactory = std::function<std::unique_ptr<Session>(int fd)>;

    LoopbackServer() = default;
    ~LoopbackServer() { stop(); }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Listens on port (0 = any free port) of a loopback address and starts
    // accepting. False when the port cannot be bound (errno tells why).
    bool start(uint16_t port, Handler handler, const std::string& address = "127.0.0.1");
    bool startSessions(uint16_t port, SessionFactory factory,
                       const std::string& address = "127.0.0.1");
    // Stops accepting and ends every connection; idempotent.
    void stop();
    uint16_t port() const { return m_port; }
    bool running() const { return m_listenFd >= 0; }

  private:
    bool listenOn(uint16_t port, const std::string& address);
    void acceptReady();
    void startHandler(int client);
    void startSession(int client);
    void sessionReady(int fd);
    void reapHandlers();

    Handler m_handler;
    SessionFactory m_factory;
    int m_listenFd = -1;
    uint64_t m_listenWatch = 0;
    uint16_t m_port = 0;
    std::atomic<bool> m_warnedNoThread{false};
    std::mutex m_mutex;  // guards the two connection lists
    struct Connection {
        int fd;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::list<Connection> m_connections;  // the handlers' connections
    struct Evented {
        uint64_t watch;
        std::shared_ptr<Session> session;
    };
    std::map<int, Evented> m_sessions;  // by fd
    int m_closing = 0;                  // sessions the loop is closing now
    std::condition_variable m_closed;
};

// Helpers for the simulated peers' protocol code.
bool sendAll(int fd, const void* data, size_t size);
bool sendAll(int fd, const std::string& text);
// sendAll for the event loop's thread: gives up (false) when the peer takes
// nothing for timeoutMs, so one stuck reader cannot hold every phone.
bool sendAllWithin(int fd, const void* data, size_t size, int timeoutMs = 5000);
// Reads exactly size bytes; false on EOF or error.
bool recvExact(int fd, void* data, size_t size);

}  // namespace phonesim
