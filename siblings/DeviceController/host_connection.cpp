#include "host_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

namespace devctl {

bool parseHex4(const char* text, size_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
        char c = text[i];
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0) {
            return false;
        }
        value = value * 16 + static_cast<size_t>(digit);
    }
    return true;
}

const char* describe(IoStatus status) {
    switch (status) {
        case IoStatus::Ok:
            return "ok";
        case IoStatus::Refused:
            return "connection refused";
        case IoStatus::TimedOut:
            return "time limit passed";
        case IoStatus::Closed:
            return "connection closed by the server";
        case IoStatus::Broken:
            return "protocol fault";
    }
    return "?";
}

IoStatus HostConnection::waitFor(short events) {
    for (;;) {
        int left = m_deadline.remainingMs();
        if (left <= 0) {
            return IoStatus::TimedOut;
        }
        pollfd fd{m_fd.get(), events, 0};
        int ready = poll(&fd, 1, left);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return IoStatus::Broken;
        }
        if (ready > 0) {
            return IoStatus::Ok;  // readiness, or an error the next call reports
        }
    }
}

IoStatus HostConnection::connect(uint16_t port) {
    m_fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!m_fd) {
        return IoStatus::Broken;
    }
    int one = 1;
    setsockopt(m_fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(m_fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        return IoStatus::Ok;
    }
    if (errno == ECONNREFUSED) {
        return IoStatus::Refused;
    }
    if (errno != EINPROGRESS) {
        return IoStatus::Broken;
    }
    if (IoStatus waited = waitFor(POLLOUT); waited != IoStatus::Ok) {
        return waited;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    getsockopt(m_fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == ECONNREFUSED) {
        return IoStatus::Refused;
    }
    return error == 0 ? IoStatus::Ok : IoStatus::Broken;
}

IoStatus HostConnection::sendRequest(std::string_view request) {
    if (request.size() > 0xffff) {
        return IoStatus::Broken;
    }
    char length[8];
    std::snprintf(length, sizeof(length), "%04zx", request.size());
    std::string message = length;
    message.append(request);
    size_t sent = 0;
    while (sent < message.size()) {
        ssize_t n = send(m_fd.get(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (IoStatus waited = waitFor(POLLOUT); waited != IoStatus::Ok) {
                return waited;
            }
            continue;
        }
        return errno == EPIPE || errno == ECONNRESET ? IoStatus::Closed : IoStatus::Broken;
    }
    return IoStatus::Ok;
}

IoStatus HostConnection::readSome(char* data, size_t size, size_t& got) {
    got = 0;
    for (;;) {
        ssize_t n = recv(m_fd.get(), data, size, 0);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return IoStatus::Ok;
        }
        if (n == 0) {
            return IoStatus::Closed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (IoStatus waited = waitFor(POLLIN); waited != IoStatus::Ok) {
                return waited;
            }
            continue;
        }
        return errno == ECONNRESET ? IoStatus::Closed : IoStatus::Broken;
    }
}

IoStatus HostConnection::readExact(char* data, size_t size) {
    while (size > 0) {
        size_t got = 0;
        if (IoStatus status = readSome(data, size, got); status != IoStatus::Ok) {
            return status;
        }
        data += got;
        size -= got;
    }
    return IoStatus::Ok;
}

IoStatus HostConnection::readPayload(std::string& payload) {
    char length[4];
    if (IoStatus status = readExact(length, sizeof(length)); status != IoStatus::Ok) {
        return status;
    }
    size_t size = 0;
    if (!parseHex4(length, size)) {
        return IoStatus::Broken;
    }
    payload.assign(size, '\0');
    return size == 0 ? IoStatus::Ok : readExact(payload.data(), size);
}

IoStatus HostConnection::readStatus(bool& okay, std::string& failMessage) {
    char status[4];
    if (IoStatus read = readExact(status, sizeof(status)); read != IoStatus::Ok) {
        return read;
    }
    std::string_view word(status, sizeof(status));
    if (word == "OKAY") {
        okay = true;
        return IoStatus::Ok;
    }
    if (word != "FAIL") {
        return IoStatus::Broken;
    }
    okay = false;
    return readPayload(failMessage);
}

}  // namespace devctl
