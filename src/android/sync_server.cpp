#include "android/sync_server.h"

#include <cerrno>
#include <system_error>

#include "android/link_sockets.h"
#include "android/sync_message.h"
#include "device/device_host.h"
#include "log/log_stream.h"
#include "platform/tcp_socket.h"
#include "platform/this_thread.h"

namespace dd::android {

void notifyHostOfSyncRequest(const std::string& text, int32_t action) {
    deviceHost().notifySyncByDevice(text, action);
}

SyncServerThread::SyncServerThread(SyncServerLinks links, std::chrono::milliseconds quietPeriod)
    : m_links(std::move(links)), m_quietMs(static_cast<int>(quietPeriod.count())) {}

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
    m_wake.drain();
}

void SyncServerThread::requestStop() {
    m_links.serverStopped.store(1);
    m_wake.signal();
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
    m_statusWake.signal();
}

void SyncServerThread::run() {
    platform::nameThisThread("dd-sync");  // for ps, top and gdb
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
    if (!link ||
        ConnectWithTimeout(link, "127.0.0.1", m_links.syncLocalPort, 1,
                           ConnectInterrupt{nullptr, m_wake.valid() ? &m_wake : nullptr}) == 0) {
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
        bool wakeable = m_wake.valid() && m_statusWake.valid();
        platform::Readiness n =
            platform::waitReadyOrWoken(link.fd(), platform::Io::Read, wakeable ? &m_wake : nullptr,
                                       wakeable ? &m_statusWake : nullptr,
                                       owed || !wakeable ? untilQuietBoundary(quietSince) : -1);
        if (n.failed) {
            DD_LOG(LOG_ERR) << "FAILED: connect android failed";
            m_links.serverStopped.store(1);
            return;
        }
        if (n.woken[1]) {
            // The status changed: the owed status is looked at again below.
            m_statusWake.drain();
        }
        bool woken = n.woken[0];
        if (n.timedOut || woken) {
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
        if (!n.ready) {
            continue;  // only the status changed (or a signal ended the wait)
        }
        char buffer[kSyncReceiveBytes];
        bool retry = false;
        long got = platform::receiveSome(link.fd(), buffer, sizeof(buffer), retry);
        if (retry) {
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
    (void)platform::sendSome(fd, line.bytes.data(), line.bytes.size());
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
