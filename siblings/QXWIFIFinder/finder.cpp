#include "finder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "output_log.h"
#include "wifi_datagram.h"

namespace qxwifi {

namespace {

constexpr int32_t kSeverityInfo = 2;
constexpr int32_t kSeverityWarning = 3;

std::u16string widen(const std::string& text) {
    // The lines are ASCII apart from phone text, which is passed byte by byte.
    std::u16string wide;
    wide.reserve(text.size());
    for (unsigned char c : text) {
        wide.push_back(static_cast<char16_t>(c));
    }
    return wide;
}

// The listening address and port from the environment, or the defaults.
bool listenPlace(sockaddr_in& place) {
    const char* address = std::getenv("DEVICEDETECT_WIFI_ADDRESS");
    const char* port = std::getenv("DEVICEDETECT_WIFI_PORT");
    place = {};
    place.sin_family = AF_INET;
    std::string host = address != nullptr && *address != '\0' ? address : Finder::kDefaultAddress;
    if (inet_pton(AF_INET, host.c_str(), &place.sin_addr) != 1) {
        log(kSeverityWarning, "QXWIFIFinder: listening address is not IPv4: " + host);
        return false;
    }
    unsigned value = Finder::kDefaultPort;
    if (port != nullptr && *port != '\0') {
        std::string_view text(port);
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || value > 65535) {
            log(kSeverityWarning,
                "QXWIFIFinder: listening port is not a port number: " + std::string(text));
            return false;
        }
    }
    place.sin_port = htons(static_cast<uint16_t>(value));
    return true;
}

bool parsePort(const char (&field)[8], uint16_t& port) {
    std::string text = fieldText(field);
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// Connects to address:port within the time limit; true when accepted.
bool serviceAccepts(const std::string& address, uint16_t port) {
    sockaddr_in place{};
    place.sin_family = AF_INET;
    place.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &place.sin_addr) != 1) {
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    bool accepted = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&place), sizeof(place)) == 0) {
        accepted = true;
    } else if (errno == EINPROGRESS) {
        pollfd pfd{fd, POLLOUT, 0};
        int ready;
        do {
            ready = poll(&pfd, 1, Finder::kConnectTimeoutMs);
        } while (ready < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof(error);
        accepted =
            ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
    close(fd);
    return accepted;
}

}  // namespace

void log(int32_t severity, const std::string& line) {
    OutputString(u"QXWIFIFinder", severity, widen(line + "\n").c_str());
}

Finder::~Finder() {
    stop();
}

int32_t Finder::start(const char* pcIdentity) {
    (void)pcIdentity;  // the module filters by pairing; the finder reports every phone
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_receiver.joinable()) {
        return 1;
    }
    sockaddr_in place{};
    if (!listenPlace(place)) {
        return 0;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&place), sizeof(place)) != 0) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &place.sin_addr, text, sizeof(text));
        log(kSeverityWarning, std::string("QXWIFIFinder: cannot listen on ") + text + ":" +
                                  std::to_string(ntohs(place.sin_port)) + ": " +
                                  std::strerror(errno));
        close(fd);
        return 0;
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        close(fd);
        return 0;
    }
    m_socket = fd;
    m_phones.clear();
    m_receiver = std::thread([this] { receive(); });
    return 1;
}

int32_t Finder::stop() {
    std::thread receiver;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_receiver.joinable()) {
            return 0;
        }
        uint64_t one = 1;
        (void)!write(m_wakeFd, &one, sizeof(one));
        receiver = std::move(m_receiver);
    }
    receiver.join();  // no callback runs after this
    std::lock_guard<std::mutex> lock(m_mutex);
    close(m_socket);
    close(m_wakeFd);
    m_socket = -1;
    m_wakeFd = -1;
    m_phones.clear();
    return 1;
}

void Finder::receive() {
    // One byte more than the longest announcement, so a longer datagram is
    // seen as such (MSG_TRUNC gives its whole length).
    std::vector<char> buffer(kMaxDatagramBytes + 1);
    for (;;) {
        pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        sockaddr_in source{};
        socklen_t length = sizeof(source);
        ssize_t got = recvfrom(m_socket, buffer.data(), buffer.size(), MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&source), &length);
        if (got < 0) {
            continue;
        }
        char address[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &source.sin_addr, address, sizeof(address));
        if (static_cast<size_t>(got) > kMaxDatagramBytes) {
            log(kSeverityWarning,
                std::string("QXWIFIFinder: dropped an oversized datagram from ") + address);
            continue;
        }
        handleDatagram(buffer.data(), static_cast<size_t>(got), address);
    }
}

void Finder::handleDatagram(const char* data, size_t size, const std::string& source) {
    std::string why;
    std::optional<Announcement> announcement = parseAnnouncement({data, size}, &why);
    if (!announcement) {
        log(kSeverityWarning, "QXWIFIFinder: dropped a datagram from " + source + ": " + why);
        return;
    }
    WifiDevRecord& record = announcement->record;
    // The phone is where its datagram came from, whatever it says.
    setField(record.ip, source);
    std::string imei = fieldText(record.imei);
    WifiDevRecord report{};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto known = m_phones.find(imei);
        if (known != m_phones.end() && fieldText(known->second.record.ip) != source) {
            // Another sender cannot speak for a phone it is not.
            log(kSeverityWarning, "QXWIFIFinder: dropped a " +
                                      std::string(eventName(announcement->event)) + " for " + imei +
                                      " from " + source + ", which is not its address");
            return;
        }
        switch (announcement->event) {
            case AnnouncementEvent::Connect:
                m_phones[imei].record = record;
                report = record;
                break;
            case AnnouncementEvent::Disconnect:
            case AnnouncementEvent::StartSync:
            case AnnouncementEvent::StopSync:
                if (known == m_phones.end()) {
                    log(kSeverityInfo,
                        "QXWIFIFinder: " + std::string(eventName(announcement->event)) +
                            " from unknown phone " + imei);
                    return;
                }
                report = known->second.record;  // the record as the phone connected
                if (announcement->event == AnnouncementEvent::Disconnect) {
                    m_phones.erase(known);
                }
                break;
        }
    }
    StateCallback onState = m_onState.load();
    if (onState != nullptr) {
        onState(&report, static_cast<int32_t>(announcement->event));
    }
}

int32_t Finder::startClient(const WifiDevRecord* record) {
    if (record == nullptr) {
        return 0;
    }
    std::string imei = fieldText(record->imei);
    std::string address;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto known = m_phones.find(imei);
        if (known == m_phones.end()) {
            return 0;
        }
        address = fieldText(known->second.record.ip);  // our own, not the caller's
    }
    uint16_t port = 0;
    if (!parsePort(record->port, port)) {
        return 0;
    }
    return serviceAccepts(address, port) ? 1 : 0;
}

int32_t Finder::setDevStatus(int32_t status, const WifiDevRecord* record) {
    if (record == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    auto known = m_phones.find(fieldText(record->imei));
    if (known == m_phones.end()) {
        return 0;
    }
    known->second.status = status;
    return 1;
}

void Finder::removeDev(const char* imei) {
    if (imei == nullptr) {
        return;
    }
    std::string key(imei, strnlen(imei, sizeof(WifiDevRecord::imei)));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phones.erase(key);
}

}  // namespace qxwifi
