#include "host_connection.h"

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

namespace {

IoStatus toIoStatus(dd::platform::StreamStatus status) {
    switch (status) {
        case dd::platform::StreamStatus::Ok:
            return IoStatus::Ok;
        case dd::platform::StreamStatus::Refused:
            return IoStatus::Refused;
        case dd::platform::StreamStatus::TimedOut:
            return IoStatus::TimedOut;
        case dd::platform::StreamStatus::Closed:
            return IoStatus::Closed;
        case dd::platform::StreamStatus::Broken:
            return IoStatus::Broken;
    }
    return IoStatus::Broken;
}

}  // namespace

IoStatus HostConnection::connect(uint16_t port) {
    return toIoStatus(m_socket.connectLoopback(port, m_deadline.end()));
}

IoStatus HostConnection::sendRequest(std::string_view request) {
    if (request.size() > 0xffff) {
        return IoStatus::Broken;
    }
    char length[8];
    std::snprintf(length, sizeof(length), "%04zx", request.size());
    std::string message = length;
    message.append(request);
    return toIoStatus(m_socket.sendAll(message.data(), message.size(), m_deadline.end()));
}

IoStatus HostConnection::readSome(char* data, size_t size, size_t& got) {
    return toIoStatus(m_socket.receiveSome(data, size, got, m_deadline.end()));
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
