#include "loader_port.h"

#include <chrono>
#include <sstream>

#include "platform/loopback_server.h"
#include "platform/tcp_socket.h"

namespace {

// A request head larger than this, or slower than the time limit, is cut off.
constexpr size_t kMaxHeadBytes = 8192;
constexpr int kReadLimitMs = 2000;

}  // namespace

LoaderPort::~LoaderPort() {
    stop();
}

bool LoaderPort::start(uint16_t port, OnRequest onRequest, std::string* problem) {
    m_onRequest = std::move(onRequest);
    m_listener = dd::platform::listenOnLoopback(port, problem);
    if (!m_listener) {
        return false;
    }
    m_thread = std::thread([this] { serve(); });
    return true;
}

void LoaderPort::stop() {
    if (!m_thread.joinable()) {
        return;
    }
    m_stop.signal();
    m_thread.join();
    m_listener.reset();
}

void LoaderPort::serve() {
    for (;;) {
        dd::platform::Readiness ready = dd::platform::waitReadyOrWoken(
            m_listener.get(), dd::platform::Io::Read, &m_stop, nullptr, -1);
        if (ready.failed || ready.woken[0]) {
            return;
        }
        if (!ready.ready) {
            continue;  // a signal cut the wait short
        }
        dd::platform::UniqueFd client = dd::platform::acceptClient(m_listener.get());
        if (client) {
            answer(client.get());
        }
    }
}

void LoaderPort::answer(int fd) {
    // One request at a time: the module sends one and waits for its answer.
    std::string head;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadLimitMs);
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxHeadBytes) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 ||
            dd::platform::waitForFd(fd, dd::platform::Io::Read, left, nullptr) !=
                dd::platform::WaitOutcome::Ready) {
            return;
        }
        char buffer[1024];
        bool retry = false;
        long got = dd::platform::receiveSome(fd, buffer, sizeof(buffer), retry);
        if (got < 0 && retry) {
            continue;
        }
        if (got <= 0) {
            return;
        }
        head.append(buffer, static_cast<size_t>(got));
    }
    std::istringstream line(head.substr(0, head.find("\r\n")));
    std::string method, target;
    line >> method >> target;
    static const char kReply[] =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 12\r\n"
        "Connection: close\r\n\r\n{\"status\":0}";
    dd::platform::sendAllWithin(fd, kReply, sizeof(kReply) - 1,
                                std::chrono::milliseconds(kReadLimitMs), nullptr);
    if (m_onRequest && !method.empty()) {
        m_onRequest(method, target);
    }
}
