// Loopback peers for the HTTP clients' tests: one keeps the request bytes
// exactly as they arrived and answers with scripted bytes; the other answers
// one byte at a time, slowly enough that no silence timer ever fires, for as
// long as the other side listens (at most a minute).
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "loopback_server.h"

namespace ddtest {

class RawPeer {
  public:
    explicit RawPeer(std::string reply) : m_reply(std::move(reply)) {
        m_server.start(0, [this](int fd) { serve(fd); });
    }
    uint16_t port() const { return m_server.port(); }
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port()) + path;
    }

  private:
    // Reads the head and as many body bytes as its "Content-length:" says.
    void serve(int fd) {
        std::string data;
        char chunk[1024];
        size_t headEnd = std::string::npos;
        while (headEnd == std::string::npos) {
            ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
            if (n <= 0)
                return;
            data.append(chunk, static_cast<size_t>(n));
            headEnd = data.find("\r\n\r\n");
        }
        size_t length = 0;
        size_t at = data.find("Content-length:");
        if (at != std::string::npos && at < headEnd) {
            length = std::stoul(data.substr(at + 15));
        }
        while (data.size() < headEnd + 4 + length) {
            ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
            if (n <= 0)
                break;
            data.append(chunk, static_cast<size_t>(n));
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(data);
        }
        phonesim::sendAll(fd, m_reply);
    }

    std::string m_reply;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    phonesim::LoopbackServer m_server;  // last: stopped before the fields above go
};

class TricklePeer {
  public:
    explicit TricklePeer(std::chrono::milliseconds every = std::chrono::milliseconds(400))
        : m_every(every) {
        m_server.start(0, [this](int fd) { serve(fd); });
    }
    ~TricklePeer() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_server.stop();
    }
    uint16_t port() const { return m_server.port(); }
    size_t bytesSent() const { return m_sent.load(); }

  private:
    void serve(int fd) {
        char request[2048];
        if (recv(fd, request, sizeof(request), 0) <= 0) {
            return;
        }
        const std::string reply = "HTTP/1.1 200 OK\r\n\r\n" + std::string(4000, 'x');
        auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        for (char c : reply) {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_wake.wait_for(lock, m_every, [this] { return m_stopping; }) ||
                std::chrono::steady_clock::now() > end) {
                return;
            }
            lock.unlock();
            if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) {
                return;  // the other side gave up
            }
            ++m_sent;
        }
    }

    std::chrono::milliseconds m_every;
    std::atomic<size_t> m_sent{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    phonesim::LoopbackServer m_server;  // last: stopped before the fields above go
};

}  // namespace ddtest
