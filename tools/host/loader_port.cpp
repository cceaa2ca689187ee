#include "loader_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>

namespace {

// A request head larger than this, or slower than the time limit, is cut off.
constexpr size_t kMaxHeadBytes = 8192;
constexpr int kReadLimitMs = 2000;

}  // namespace

LoaderPort::~LoaderPort() {
    stop();
}

bool LoaderPort::start(uint16_t port, OnRequest onRequest) {
    m_onRequest = std::move(onRequest);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in place{};
    place.sin_family = AF_INET;
    place.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    place.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&place), sizeof(place)) != 0 || listen(fd, 16) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return false;
    }
    m_listenFd = fd;
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { serve(); });
    return true;
}

void LoaderPort::stop() {
    if (!m_thread.joinable()) {
        return;
    }
    uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof(one));
    m_thread.join();
    close(m_listenFd);
    close(m_wakeFd);
    m_listenFd = m_wakeFd = -1;
}

void LoaderPort::serve() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        int client = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            answer(client);
            close(client);
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
        pollfd pfd{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return;
        }
        char buffer[1024];
        ssize_t got = read(fd, buffer, sizeof(buffer));
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
    (void)!write(fd, kReply, sizeof(kReply) - 1);
    if (m_onRequest && !method.empty()) {
        m_onRequest(method, target);
    }
}
