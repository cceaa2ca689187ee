#include "sync_tool.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace phonesim {

// A link's session: it lives from accept to the link's end, and forgets its
// fd before the server closes it, so a send never hits a closed (or reused)
// descriptor.
class SyncTool::CommandLink : public Session {
  public:
    CommandLink(SyncTool& tool, int fd) : m_tool(tool), m_fd(fd) {
        m_tool.admitLink(fd, m_tool.m_commandConnections, m_tool.m_commandFds);
    }
    ~CommandLink() override { m_tool.forgetLink(m_fd, m_tool.m_commandFds); }
    bool onReadable(int fd) override { return m_tool.commandReadable(fd, m_pending); }

  private:
    SyncTool& m_tool;
    int m_fd;
    std::string m_pending;  // the tail of what came, for a probe cut in pieces
};

class SyncTool::SyncLink : public Session {
  public:
    SyncLink(SyncTool& tool, int fd) : m_tool(tool), m_fd(fd) {
        m_tool.admitLink(fd, m_tool.m_syncConnections, m_tool.m_syncFds);
    }
    ~SyncLink() override { m_tool.forgetLink(m_fd, m_tool.m_syncFds); }
    bool onReadable(int fd) override { return m_tool.syncReadable(fd); }

  private:
    SyncTool& m_tool;
    int m_fd;
};

bool SyncTool::start(uint16_t commandPort, uint16_t syncPort) {
    if (!m_command.startSessions(
            commandPort, [this](int fd) { return std::make_unique<CommandLink>(*this, fd); })) {
        return false;
    }
    if (!m_sync.startSessions(syncPort,
                              [this](int fd) { return std::make_unique<SyncLink>(*this, fd); })) {
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

void SyncTool::forgetLink(int fd, std::vector<int>& fds) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        fds.erase(std::remove(fds.begin(), fds.end(), fd), fds.end());
    }
    m_changed.notify_all();
}

bool SyncTool::commandReadable(int fd, std::string& pending) {
    char buffer[512];
    ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        return true;
    }
    if (n <= 0) {
        return false;
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
            sendAllWithin(fd, answer.data(), answer.size());
        }
    }
    if (pending.size() > 64) {
        pending.erase(0, pending.size() - 64);  // only a probe's tail matters
    }
    m_changed.notify_all();
    return true;
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

bool SyncTool::syncReadable(int fd) {
    char buffer[512];
    ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        return true;
    }
    if (n <= 0) {
        return false;
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
    return true;
}

}  // namespace phonesim
