#include "loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace phonesim {

bool LoopbackServer::start(uint16_t port, Handler handler, const std::string& address) {
    stop();
    m_handler = std::move(handler);
    in_addr host{};
    if (inet_pton(AF_INET, address.c_str(), &host) != 1 || (ntohl(host.s_addr) >> 24) != 127) {
        errno = EINVAL;
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_port = ntohs(addr.sin_port);
    m_stopping = false;
    try {
        m_acceptThread = std::thread([this] { acceptLoop(); });
    } catch (const std::system_error&) {
        close(m_listenFd);
        close(m_wakeFd);
        m_listenFd = -1;
        m_wakeFd = -1;
        return false;
    }
    return true;
}

void LoopbackServer::acceptLoop() {
    while (!m_stopping) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (m_stopping || (fds[1].revents & POLLIN) != 0) {
            return;
        }
        int client = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        // Reap finished connections so a long run does not pile up threads.
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if (it->done) {
                it->thread.join();
                close(it->fd);
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
        Connection& connection = m_connections.emplace_back();
        connection.fd = client;
        try {
            connection.thread = std::thread([this, &connection] {
                m_handler(connection.fd);
                shutdown(connection.fd, SHUT_RDWR);
                connection.done = true;
            });
        } catch (const std::system_error&) {
            // Out of threads: this one connection is refused (the peer sees
            // it closed), the server goes on accepting.
            m_connections.pop_back();
            close(client);
            if (!m_warnedNoThread.exchange(true)) {
                std::fprintf(stderr, "phonesim: out of threads, refusing connections on %u\n",
                             m_port);
            }
        }
    }
}

void LoopbackServer::stop() {
    if (m_listenFd < 0) {
        return;
    }
    m_stopping = true;
    uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof(one));
    if (m_acceptThread.joinable()) {
        m_acceptThread.join();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Connection& connection : m_connections) {
            shutdown(connection.fd, SHUT_RDWR);  // wakes a handler blocked in recv
        }
    }
    for (Connection& connection : m_connections) {
        connection.thread.join();
        close(connection.fd);
    }
    m_connections.clear();
    close(m_listenFd);
    close(m_wakeFd);
    m_listenFd = -1;
    m_wakeFd = -1;
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
