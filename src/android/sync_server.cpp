#include "android/sync_server.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "android/link_sockets.h"
#include "android/sync_message.h"
#include "device/device_host.h"
#include "log/log_stream.h"

namespace dd::android {

void notifyHostOfSyncRequest(const std::string& text, int32_t action) {
    deviceHost().notifySyncByDevice(text, action);
}

SyncServerThread::SyncServerThread(SyncServerLinks links, std::chrono::milliseconds quietPeriod)
    : m_links(std::move(links)),
      m_quietMs(static_cast<int>(quietPeriod.count())),
      m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_statusWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SyncServerThread::~SyncServerThread() {
    requestStop();
    join();
}

bool SyncServerThread::start() {
    if (disabled() || m_links.serverStopped.load() != 1) {
        return false;
    }
    // The flag is 1, so the previous worker has ended or has been told to
    // end and wakes at once: joining it first means it can never see the new
    // run's 0 and stay.
    join();
    drainWake();
    int32_t expected = 1;
    if (!m_links.serverStopped.compare_exchange_strong(expected, 0)) {
        return false;
    }
    try {
        m_worker = std::thread([this] { run(); });
    } catch (const std::system_error& error) {
        // Out of threads for now (a storm of phones): the link stays down
        // and the owner tries again at its next quiet second.
        DD_LOG(LOG_ERR) << "cannot start the sync link yet: " << error.what();
        m_links.serverStopped.store(1);
        return false;
    }
    return true;
}

void SyncServerThread::drainWake() {
    uint64_t count = 0;
    while (m_wake && read(m_wake.get(), &count, sizeof(count)) > 0) {
    }
}

void SyncServerThread::requestStop() {
    m_links.serverStopped.store(1);
    if (m_wake) {
        uint64_t one = 1;
        (void)!write(m_wake.get(), &one, sizeof(one));
    }
}

void SyncServerThread::disable() {
    m_disabled.store(1);
    requestStop();
}

void SyncServerThread::join() {
    if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id()) {
        m_worker.join();
    }
}

bool SyncServerThread::stopWanted() const {
    return m_links.serverStopped.load() == 1 || disabled();
}

void SyncServerThread::statusChanged() {
    // Its own descriptor: a status change must not cut a connect short the
    // way a stop does.
    if (m_statusWake) {
        uint64_t one = 1;
        (void)!write(m_statusWake.get(), &one, sizeof(one));
    }
}

void SyncServerThread::run() {
    pthread_setname_np(pthread_self(), "dd-sync");  // for ps, top and gdb
    holdLink();
    if (m_onEnded) {
        m_onEnded();
    }
}

void SyncServerThread::holdLink() {
    if (stopWanted()) {
        m_links.serverStopped.store(1);
        return;
    }
    LinkSocket link = CreateLinkSocket();
    if (!link || ConnectWithTimeout(link, "127.0.0.1", m_links.syncLocalPort, 1,
                                    ConnectInterrupt{nullptr, m_wake.get()}) == 0) {
        if (!stopWanted()) {
            DD_LOG(LOG_ERR) << "FAILED: connect android failed";
        }
        m_links.serverStopped.store(1);
        return;
    }
    link.setNonBlocking(true);

    int32_t lastSent = -1;  // lives as long as this link: a rebuilt link tells the status again
    // Quiet seconds are counted from the phone's last data (or the link's
    // start), whether or not the worker was awake at their boundaries.
    Clock::time_point quietSince = Clock::now();
    for (;;) {
        if (stopWanted()) {
            m_links.serverStopped.store(1);
            return;
        }
        // The quiet second matters only while a status is owed; otherwise
        // the link waits for the phone, a status change or stop.
        bool owed = statusLineFor(m_links.syncStatus.load(), lastSent).send;
        pollfd fds[3] = {
            {link.fd(), POLLIN, 0}, {m_wake.get(), POLLIN, 0}, {m_statusWake.get(), POLLIN, 0}};
        bool wakeable = m_wake && m_statusWake;
        int n =
            poll(fds, wakeable ? 3 : 1, owed || !wakeable ? untilQuietBoundary(quietSince) : -1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            DD_LOG(LOG_ERR) << "FAILED: connect android failed";
            m_links.serverStopped.store(1);
            return;
        }
        if (wakeable && (fds[2].revents & POLLIN) != 0) {
            // The status changed: the owed status is looked at again below.
            uint64_t count = 0;
            (void)!read(m_statusWake.get(), &count, sizeof(count));
        }
        bool woken = wakeable && (fds[1].revents & POLLIN) != 0;
        if (n == 0 || woken) {
            if (stopWanted()) {
                DD_LOG(LOG_ERR) << "detect thread exit.";
                m_links.serverStopped.store(1);
                return;
            }
            if (woken) {
                // A stop meant for the previous run; the flag is checked
                // again before the next wait, so draining loses no request.
                drainWake();
            } else {
                sendOwedStatus(link.fd(), lastSent);
            }
            continue;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;  // only the status changed
        }
        char buffer[kSyncReceiveBytes];
        ssize_t got = recv(link.fd(), buffer, sizeof(buffer), 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;  // nothing after all; not a lost link
        }
        if (got <= 0) {
            m_links.serverStopped.store(1);  // the phone closed or the link broke
            return;
        }
        quietSince = Clock::now();
        if (!handleReceived(buffer, static_cast<size_t>(got))) {
            m_links.serverStopped.store(1);
            return;
        }
    }
}

int SyncServerThread::untilQuietBoundary(Clock::time_point quietSince) const {
    if (m_quietMs <= 0) {
        return 0;
    }
    auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - quietSince).count();
    return m_quietMs - static_cast<int>(elapsed % m_quietMs);
}

void SyncServerThread::sendOwedStatus(int fd, int32_t& lastSent) {
    StatusLine line = statusLineFor(m_links.syncStatus.load(), lastSent);
    if (!line.send) {
        return;
    }
    DD_LOG(LOG_INFO) << line.logText;
    // The phone reads its status again at the next change; a lost line shows
    // up as a lost link, which is rebuilt and sends the status afresh.
    (void)send(fd, line.bytes.data(), line.bytes.size(), MSG_NOSIGNAL);
    lastSent = line.sentStatus;
}

bool SyncServerThread::handleReceived(const char* data, size_t size) {
    std::string_view received(data, size);
    DD_LOG(LOG_INFO) << "byteRecvBuf =" << printableBytes(received);
    SyncRequest request = parseSyncMessage(received);
    switch (request.kind) {
        case SyncRequestKind::Ignored:
            return true;
        case SyncRequestKind::Start:
        case SyncRequestKind::Stop:
            if (m_links.syncRequest) {
                m_links.syncRequest(hostTextOf(request), syncActionOf(request.kind));
            }
            return true;
        case SyncRequestKind::StopApp:
            // The owner hears first, so it never sees the link stopped while
            // its exit is not yet set and rebuilds a link that must end.
            if (m_links.stopApp) {
                m_links.stopApp();
            }
            return false;
        case SyncRequestKind::Undefined:
            DD_LOG(LOG_ERR) << "undefine command from device.";
            return true;
    }
    return true;
}

}  // namespace dd::android
