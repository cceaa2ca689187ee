#include "loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "event_loop.h"

namespace phonesim {

bool LoopbackServer::start(uint16_t port, Handler handler, const std::string& address) {
    stop();
    m_handler = std::move(handler);
    m_factory = nullptr;
    return listenOn(port, address);
}

bool LoopbackServer::startSessions(uint16_t port, SessionFactory factory,
                                   const std::string& address) {
    stop();
    m_handler = nullptr;
    m_factory = std::move(factory);
    return listenOn(port, address);
}

bool LoopbackServer::listenOn(uint16_t port, const std::string& address) {
    in_addr host{};
    if (inet_pton(AF_INET, address.c_str(), &host) != 1 || (ntohl(host.s_addr) >> 24) != 127) {
        errno = EINVAL;
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr = host;
    addr.sin_port = htons(port);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 512) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return false;
    }
    m_listenFd = fd;
    m_port = ntohs(addr.sin_port);
    m_listenWatch = EventLoop::shared().watch(fd, EPOLLIN, [this](uint32_t) { acceptReady(); });
    if (m_listenWatch == 0) {
        int error = errno;
        close(fd);
        m_listenFd = -1;
        errno = error;
        return false;
    }
    return true;
}

void LoopbackServer::acceptReady() {
    for (;;) {
        int client = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            return;  // EAGAIN: all taken; anything else: the peer gave up first
        }
        if (m_factory) {
            startSession(client);
        } else {
            startHandler(client);
        }
    }
}

void LoopbackServer::reapHandlers() {
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if (it->done) {
            it->thread.join();
            it = m_connections.erase(it);
        } else {
            ++it;
        }
    }
}

void LoopbackServer::startHandler(int client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Reap finished connections so a long run does not pile up threads.
    reapHandlers();
    Connection& connection = m_connections.emplace_back();
    connection.fd = client;
    try {
        connection.thread = std::thread([this, &connection] {
            m_handler(connection.fd);
            // Closed here, not when the thread is reaped at a later accept:
            // a finished exchange holds no descriptor.
            std::lock_guard<std::mutex> lock(m_mutex);
            shutdown(connection.fd, SHUT_RDWR);
            close(connection.fd);
            connection.fd = -1;
            connection.done = true;
        });
    } catch (const std::system_error&) {
        // Out of threads: this one connection is refused (the peer sees
        // it closed), the server goes on accepting.
        m_connections.pop_back();
        close(client);
        if (!m_warnedNoThread.exchange(true)) {
            std::fprintf(stderr, "phonesim: out of threads, refusing connections on %u\n", m_port);
        }
    }
}

void LoopbackServer::startSession(int client) {
    std::shared_ptr<Session> session = m_factory(client);
    if (!session) {
        close(client);
        return;
    }
    // Registered under the lock, so the first readiness finds the session.
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t watch = EventLoop::shared().watch(client, EPOLLIN,
                                               [this, client](uint32_t) { sessionReady(client); });
    if (watch == 0) {
        session.reset();
        close(client);
        return;
    }
    m_sessions[client] = Evented{watch, std::move(session)};
}

void LoopbackServer::sessionReady(int fd) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sessions.find(fd);
        if (it == m_sessions.end()) {
            return;  // stop() has taken it
        }
        session = it->second.session;
    }
    if (session->onReadable(fd)) {
        return;
    }
    uint64_t watch = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sessions.find(fd);
        if (it == m_sessions.end()) {
            return;  // stop() has taken it and closes it
        }
        watch = it->second.watch;
        m_sessions.erase(it);
        ++m_closing;  // stop() waits for this, as the session may use its owner
    }
    EventLoop::shared().unwatch(watch);
    session.reset();
    close(fd);
    // Notified under the lock: once stop() sees the count at 0 the server
    // may be destroyed, condition variable included.
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_closing;
    m_closed.notify_all();
}

void LoopbackServer::stop() {
    if (m_listenFd < 0) {
        return;
    }
    EventLoop::shared().unwatch(m_listenWatch);  // no accept runs after this
    m_listenWatch = 0;
    std::map<int, Evented> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions.swap(m_sessions);
        for (Connection& connection : m_connections) {
            if (connection.fd >= 0) {
                shutdown(connection.fd, SHUT_RDWR);  // wakes a handler blocked in recv
            }
        }
    }
    for (auto& [fd, evented] : sessions) {
        EventLoop::shared().unwatch(evented.watch);  // waits out a call that runs now
        evented.session.reset();
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
    for (Connection& connection : m_connections) {
        connection.thread.join();  // the thread has closed its fd
    }
    m_connections.clear();
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_closed.wait(lock, [&] { return m_closing == 0; });
    }
    close(m_listenFd);
    m_listenFd = -1;
}

bool sendAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool sendAll(int fd, const std::string& text) {
    return sendAll(fd, text.data(), text.size());
}

bool sendAllWithin(int fd, const void* data, size_t size, int timeoutMs) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd entry{fd, POLLOUT, 0};
            if (poll(&entry, 1, timeoutMs) <= 0) {
                return false;
            }
            continue;
        }
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool recvExact(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace phonesim
