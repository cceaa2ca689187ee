// A TCP server on 127.0.0.1 (or another loopback address) that hands each accepted connection to a
// handler on its own thread. Every simulated peer (adb server, companion service, sync tool) is one
// of these. Stopping wakes the accept loop at once, shuts down the open connections and joins every
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace phonesim {

class LoopbackServer {
  public:
    using Handler = std::function<void(int fd)>;  // the fd is closed after the handler returns

    LoopbackServer() = default;
    ~LoopbackServer() { stop(); }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Listens on port (0 = any free port) of a loopback address and starts
    // accepting. False when the port cannot be bound (errno tells why).
    bool start(uint16_t port, Handler handler, const std::string& address = "127.0.0.1");
    // Stops accepting and ends every connection; idempotent.
    void stop();
    uint16_t port() const { return m_port; }
    bool running() const { return m_listenFd >= 0; }

  private:
    void acceptLoop();

    Handler m_handler;
    int m_listenFd = -1;
    int m_wakeFd = -1;  // eventfd that cuts the accept wait short
    uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_warnedNoThread{false};
    std::thread m_acceptThread;
    std::mutex m_mutex;  // guards m_connections
    struct Connection {
        int fd;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::list<Connection> m_connections;
};

// Helpers for the simulated peers' protocol code.
bool sendAll(int fd, const void* data, size_t size);
bool sendAll(int fd, const std::string& text);
// Reads exactly size bytes; false on EOF or error.
bool recvExact(int fd, void* data, size_t size);

}  // namespace phonesim
