// A loopback peer for the raw HTTP client's tests that keeps the request
// bytes exactly as they arrived and answers with scripted bytes.
#pragma once

#include <sys/socket.h>

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

}  // namespace ddtest
