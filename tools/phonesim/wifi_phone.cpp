#include "wifi_phone.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace phonesim {

namespace {

// Addresses tried before giving up; 127.0.0.1 is left to the other peers.
constexpr int kAddressAttempts = 200;

std::string randomLoopbackAddress(std::mt19937& random) {
    std::uniform_int_distribution<int> second(0, 255);
    std::uniform_int_distribution<int> third(0, 255);
    std::uniform_int_distribution<int> fourth(2, 254);
    return "127." + std::to_string(second(random)) + "." + std::to_string(third(random)) + "." +
           std::to_string(fourth(random));
}

}  // namespace

bool sendDatagram(const std::string& from, const std::string& address, uint16_t port,
                  const std::string& bytes) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    if (inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1 ||
        inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) {
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool sent = bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof(source)) == 0 &&
                sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target),
                       sizeof(target)) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return sent;
}

WifiPhone::WifiPhone(WifiPhoneSpec spec) : m_spec(std::move(spec)) {
    PhoneConfig config;
    config.imei = m_spec.imei;
    config.serialNumber = m_spec.serial;
    config.model = m_spec.model;
    config.pairedDev = m_spec.paired;
    m_service = std::make_unique<CompanionService>(config);
}

WifiPhone::~WifiPhone() {
    stop();
}

bool WifiPhone::start() {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < kAddressAttempts; ++attempt) {
        std::string address = randomLoopbackAddress(random);
        if (m_service->start(kServicePort, address)) {
            m_address = address;
            return true;
        }
        if (errno != EADDRINUSE) {
            return false;
        }
    }
    return false;
}

void WifiPhone::stop() {
    m_service->stop();
}

void WifiPhone::setFinder(const std::string& address, uint16_t port) {
    m_finderAddress = address;
    m_finderPort = port;
}

bool WifiPhone::announce(qxwifi::AnnouncementEvent event) {
    qxwifi::AnnouncementFields fields;
    fields.imei = m_spec.imei;
    fields.serial = m_spec.serial;
    fields.model = m_spec.model;
    fields.brand = m_spec.brand;
    fields.version = m_spec.version;
    fields.sdk = m_spec.sdk;
    fields.port = m_spec.announcedPort;
    fields.paired = m_spec.paired;
    fields.pid = m_spec.pid;
    fields.autolaunch = m_spec.autolaunch;
    return sendRaw(qxwifi::formatAnnouncement(event, fields));
}

bool WifiPhone::sendRaw(const std::string& bytes) {
    return !m_address.empty() && sendDatagram(m_address, m_finderAddress, m_finderPort, bytes);
}

}  // namespace phonesim
