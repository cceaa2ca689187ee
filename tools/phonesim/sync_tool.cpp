#include "sync_tool.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace phonesim {

bool SyncTool::start(uint16_t commandPort, uint16_t syncPort) {
    if (!m_command.start(commandPort, [this](int fd) { serveCommand(fd); })) {
        return false;
    }
    if (!m_sync.start(syncPort, [this](int fd) { serveSync(fd); })) {
        m_command.stop();
        return false;
    }
    return true;
}

void SyncTool::stop() {
    m_sync.stop();
    m_command.stop();
}

void SyncTool::setProbeAnswer(std::string answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_probeAnswer = std::move(answer);
}

std::string SyncTool::commandReceived() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commandReceived;
}

int SyncTool::commandConnections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commandConnections;
}

void SyncTool::shutdownLinks(const std::vector<int>& fds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int fd : fds) {
        shutdown(fd, SHUT_RDWR);
    }
}

void SyncTool::admitLink(int fd, int& connections, std::vector<int>& fds) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++connections;
        fds.push_back(fd);
    }
    m_changed.notify_all();
}

void SyncTool::dropCommandLinks() {
    shutdownLinks(m_commandFds);
}

void SyncTool::serveCommand(int fd) {
    admitLink(fd, m_commandConnections, m_commandFds);
    std::string pending;
    char buffer[512];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::string answer;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_commandReceived.append(buffer, static_cast<size_t>(n));
            answer = m_probeAnswer;
        }
        pending.append(buffer, static_cast<size_t>(n));
        // One answer per complete probe, however the probe was cut up.
        for (size_t at; (at = pending.find(kProbe)) != std::string::npos;) {
            pending.erase(0, at + std::string_view(kProbe).size());
            if (!answer.empty()) {
                sendAll(fd, answer);
            }
        }
        if (pending.size() > 64) {
            pending.erase(0, pending.size() - 64);  // only a probe's tail matters
        }
        m_changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_commandFds.erase(std::remove(m_commandFds.begin(), m_commandFds.end(), fd),
                           m_commandFds.end());
    }
    m_changed.notify_all();
}

std::string SyncTool::syncReceived() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_syncReceived;
}

void SyncTool::clearSyncReceived() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_syncReceived.clear();
}

int SyncTool::syncConnections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_syncConnections;
}

int SyncTool::openSyncLinks() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_syncFds.size());
}

bool SyncTool::waitForSyncReceived(std::string_view text, std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, deadline,
                              [&] { return m_syncReceived.find(text) != std::string::npos; });
}

bool SyncTool::waitForSyncLink(int count, std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, deadline,
                              [&] { return m_syncConnections >= count && !m_syncFds.empty(); });
}

bool SyncTool::waitForSyncClosed(std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, deadline, [&] { return m_syncFds.empty(); });
}

void SyncTool::setSyncObserver(std::function<void(std::string_view)> observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_syncObserver = std::move(observer);
}

bool SyncTool::sendSync(std::string_view bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_syncFds.empty()) {
        return false;
    }
    // One send, so a loopback reader that is waiting gets the bytes in one piece.
    ssize_t n = send(m_syncFds.back(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(bytes.size());
}

void SyncTool::dropSyncLinks() {
    shutdownLinks(m_syncFds);
}

void SyncTool::serveSync(int fd) {
    admitLink(fd, m_syncConnections, m_syncFds);
    char buffer[512];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        std::function<void(std::string_view)> observer;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_syncReceived.append(buffer, static_cast<size_t>(n));
            observer = m_syncObserver;
        }
        m_changed.notify_all();
        if (observer) {
            observer(std::string_view(buffer, static_cast<size_t>(n)));
        }
    }
    {
        // Unregistered before the server closes the fd, so a send never hits
        // a closed (or reused) descriptor.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_syncFds.erase(std::remove(m_syncFds.begin(), m_syncFds.end(), fd), m_syncFds.end());
    }
    m_changed.notify_all();
}

}  // namespace phonesim
