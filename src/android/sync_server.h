// SyncServerThread: the worker that holds a phone's sync-status link (local
// port forwarded to phone port 7990). At every quiet second (a full second
// without data from the phone) it tells the phone the host's sync status if
// that changed since it last told it (with nothing owed it sleeps until the
// status changes or the phone speaks); it passes the phone's ";START" and
// ";STOP" requests to the host and ends the phone's connection on
// "STOP_APP". It ends by itself when the link cannot be made or is lost; the
// Android device thread rebuilds it at its next quiet second.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/wake_handle.h"

namespace dd::android {

// What the worker borrows from its phone's device thread. The references
// must outlive the SyncServerThread object.
struct SyncServerLinks {
    // m_nSyncLocalPort: the local end of the forward to phone port 7990. Read
    // once at each start, so the owner sets it before starting.
    const uint16_t& syncLocalPort;
    // m_lSyncStatus: the host's status (-1 none, 0 START_SYNC, 1 STOP_SYNC,
    // 2 READY_SYNC). Written by host threads, read here; a writer calls
    // SyncServerThread::statusChanged() after it, since an idle link only
    // looks at the status when woken.
    const std::atomic<int32_t>& syncStatus;
    // m_lSyncServerStopped: 1 while no worker runs. start() moves it to 0;
    // the worker moves it back to 1 on every way out.
    std::atomic<int32_t>& serverStopped;
    // The phone sent "STOP_APP": the owner sets m_lExit to 1 and m_nState to
    // 3. Called on the worker before the worker ends.
    std::function<void()> stopApp;
    // The phone asked for a sync (action 0) or to stop one (action 1); text
    // is UTF-8. Called on the worker.
    std::function<void(const std::string& text, int32_t action)> syncRequest;
};

// The usual sink for SyncServerLinks::syncRequest: the host's sync-by-device
// callback through theApp (dropped when the host registered none).
void notifyHostOfSyncRequest(const std::string& text, int32_t action);

class SyncServerThread {
  public:
    // The quiet period is the link's one second; tests and benchmarks may
    // stretch it to tell "woken at once" from "woke at its time".
    explicit SyncServerThread(SyncServerLinks links,
                              std::chrono::milliseconds quietPeriod = std::chrono::seconds(1));
    // Stops and joins the worker: the links it borrows may go away after this.
    ~SyncServerThread();
    SyncServerThread(const SyncServerThread&) = delete;
    SyncServerThread& operator=(const SyncServerThread&) = delete;

    // Starts a worker when none runs (serverStopped is 1) and the link has
    // not been disabled; joins the previous worker first (it has ended, or
    // was told to and is leaving). Moves serverStopped to 0. False when one
    // runs already or after disable(). Called by the owner's thread only.
    bool start();
    // Asks the running worker to end now: serverStopped -> 1, and its
    // connect and 1-second waits wake at once. Never blocks; any thread,
    // also from inside the callbacks; idempotent.
    void requestStop();
    // requestStop(), and every later start() is refused: the user
    // disconnected the phone, and the link must not come back.
    void disable();
    // Waits for the worker to end (after requestStop, or after it ended by
    // itself). Not from the worker's own callbacks.
    void join();
    bool disabled() const { return m_disabled.load() != 0; }
    // The host's status changed: a worker that owed nothing starts counting
    // its quiet second now. Any thread; never blocks.
    void statusChanged();
    // Called on the worker as it ends, whatever the reason (after
    // serverStopped went back to 1), so the owner can rebuild the link
    // without watching a clock. Set before the first start().
    void setOnEnded(std::function<void()> onEnded) { m_onEnded = std::move(onEnded); }

  private:
    void run();
    void holdLink();
    bool stopWanted() const;
    void drainWake();
    void sendOwedStatus(int fd, int32_t& lastSent);
    using Clock = std::chrono::steady_clock;
    // Milliseconds to the end of the current quiet period, periods being
    // counted from quietSince (1..m_quietMs).
    int untilQuietBoundary(Clock::time_point quietSince) const;
    // False when the link must end (STOP_APP).
    bool handleReceived(const char* data, size_t size);

    SyncServerLinks m_links;
    const int m_quietMs;
    platform::WakeHandle m_wake;        // signalled by requestStop; waited on by the worker
    platform::WakeHandle m_statusWake;  // signalled by statusChanged; waited on while linked
    std::atomic<int32_t> m_disabled{0};
    std::function<void()> m_onEnded;  // set before the worker starts; read by it
    std::thread m_worker;             // started and joined by the owner's thread only
};

}  // namespace dd::android
