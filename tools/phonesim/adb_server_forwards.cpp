// The simulated server's port forwards: "forward", "killforward" and their
// listing, kept apart from the connection handling in adb_server.cpp.
#include <cstdio>

#include "adb_server.h"
#include "adb_wire.h"

namespace phonesim {
namespace {

using adbwire::sendFail;
using adbwire::sendOkay;
using adbwire::sendOkayPayload;

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// "tcp:8182" -> 8182; 0 for anything else (only TCP forwards are played).
uint16_t tcpPort(const std::string& spec) {
    if (!startsWith(spec, "tcp:") || spec.size() > 9) {
        return 0;
    }
    unsigned long value = 0;
    for (size_t i = 4; i < spec.size(); ++i) {
        if (spec[i] < '0' || spec[i] > '9') {
            return 0;
        }
        value = value * 10 + static_cast<unsigned long>(spec[i] - '0');
    }
    return value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

}  // namespace

void AdbServer::takeForwardsLocked(const std::string& serial,
                                   std::vector<std::unique_ptr<AdbForward>>& gone) {
    for (auto it = m_forwards.begin(); it != m_forwards.end();) {
        if (it->second->serial() == serial) {
            gone.push_back(std::move(it->second));
            it = m_forwards.erase(it);
        } else {
            ++it;
        }
    }
}

std::vector<uint16_t> AdbServer::forwardPorts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint16_t> ports;
    for (const auto& [local, forward] : m_forwards) {
        ports.push_back(forward->localPort());
    }
    return ports;
}

std::string AdbServer::forwardList() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    for (const auto& [local, forward] : m_forwards) {
        text += forward->serial() + " " + local + " " + forward->remote() + "\n";
    }
    return text;
}

void AdbServer::serveForward(int fd, const std::string& serial, const std::string& spec) {
    std::string rest = spec;
    bool noRebind = startsWith(rest, "norebind:");
    if (noRebind) {
        rest = rest.substr(9);
    }
    size_t semicolon = rest.find(';');
    if (semicolon == std::string::npos) {
        sendFail(fd, "bad forward: " + spec);
        return;
    }
    std::string local = rest.substr(0, semicolon);
    std::string remote = rest.substr(semicolon + 1);
    uint16_t localPort = tcpPort(local);
    uint16_t remotePort = tcpPort(remote);
    if ((localPort == 0 && local != "tcp:0") || remotePort == 0) {
        sendFail(fd, "cannot bind listener: unsupported socket spec");
        return;
    }
    std::shared_ptr<AdbPhone> target = phone(serial);
    if (!target) {
        sendFail(fd, "device '" + serial + "' not found");
        return;
    }
    std::unique_ptr<AdbForward> replaced;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_forwards.find(local);
        if (it != m_forwards.end()) {
            if (noRebind) {
                sendFail(fd, "cannot rebind existing socket");
                return;
            }
            if (it->second->remote() == remote && it->second->serial() == serial) {
                sendOkay(fd);
                sendOkay(fd);
                return;
            }
            replaced = std::move(it->second);
            m_forwards.erase(it);
        }
    }
    replaced.reset();
    auto forward = std::make_unique<AdbForward>(
        serial, remote, [target, remotePort] { return target->servicePort(remotePort); });
    if (!forward->start(localPort)) {
        sendFail(fd, "cannot bind listener: Address already in use");
        return;
    }
    uint16_t bound = forward->localPort();
    std::string key = "tcp:" + std::to_string(bound);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_forwards[key] = std::move(forward);
    }
    // The real server sends the port it bound for every TCP forward it
    // makes, an explicit one too (only a forward that was in place gets none).
    sendOkay(fd);
    sendOkay(fd);
    adbwire::sendPayload(fd, std::to_string(bound));
}

void AdbServer::serveKillForward(int fd, const std::string& serial, const std::string& what) {
    std::vector<std::unique_ptr<AdbForward>> gone;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (what == "killforward-all") {
            takeForwardsLocked(serial, gone);
            found = true;
        } else {
            std::string local = what.substr(what.find(':') + 1);
            auto it = m_forwards.find(local);
            if (it != m_forwards.end()) {
                gone.push_back(std::move(it->second));
                m_forwards.erase(it);
                found = true;
            }
        }
    }
    gone.clear();
    if (!found) {
        sendFail(fd, "listener '" + what.substr(what.find(':') + 1) + "' not found");
        return;
    }
    sendOkay(fd);
    sendOkay(fd);
}

}  // namespace phonesim
