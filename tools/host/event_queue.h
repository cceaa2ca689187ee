// The hand-over from the module's threads to the host's main thread:
// callbacks copy what they need into a HostEvent and push it; the main
// thread wakes on wake() and takes them all.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>

#include "events.h"
#include "platform/wake_handle.h"

class HostEventQueue {
  public:
    // How many events of each kind may wait. The module sends a bounded
    // number of device changes per phone (a few for each of at most 255
    // phones), but while the host's output is blocked they pile up; phones
    // and local programs choose how many sync and loader requests they send,
    // and with what text.
    static constexpr size_t kMaxDeviceChanges = 2048;
    static constexpr size_t kMaxSyncRequests = 64;
    static constexpr size_t kMaxLoaderRequests = 64;

    HostEventQueue() = default;
    HostEventQueue(const HostEventQueue&) = delete;
    HostEventQueue& operator=(const HostEventQueue&) = delete;

    // Queues the event unless its kind already has its maximum waiting;
    // then the event is dropped and counted. A sync request whose device
    // text already has one waiting replaces that one (which counts as
    // dropped), so one phone's flood keeps a single place.
    void push(HostEvent event);
    // Every waiting event in order; when any were dropped since the last
    // call, a Dropped report follows them.
    std::deque<HostEvent> takeAll();
    // Signalled when events wait.
    const dd::platform::WakeHandle& wake() const { return m_wake; }
    // Dropped since the start.
    DroppedEvents dropped() const;

  private:
    dd::platform::WakeHandle m_wake;
    mutable std::mutex m_mutex;  // guards everything below
    std::deque<HostEvent> m_events;
    DroppedEvents m_waiting;       // events in m_events, by kind
    DroppedEvents m_droppedSince;  // since the last takeAll that reported
    DroppedEvents m_droppedTotal;
};
