#include "event_queue.h"

#include <algorithm>
#include <utility>

namespace {

size_t& countOf(DroppedEvents& counts, HostEvent::Kind kind) {
    switch (kind) {
        case HostEvent::Kind::SyncRequest:
            return counts.syncRequests;
        case HostEvent::Kind::LoaderRequest:
            return counts.loaderRequests;
        default:
            return counts.deviceChanges;
    }
}

size_t limitOf(HostEvent::Kind kind) {
    switch (kind) {
        case HostEvent::Kind::SyncRequest:
            return HostEventQueue::kMaxSyncRequests;
        case HostEvent::Kind::LoaderRequest:
            return HostEventQueue::kMaxLoaderRequests;
        default:
            return HostEventQueue::kMaxDeviceChanges;
    }
}

}  // namespace

void HostEventQueue::push(HostEvent event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const HostEvent::Kind kind = event.kind;
        if (kind == HostEvent::Kind::SyncRequest) {
            auto waiting = std::find_if(m_events.begin(), m_events.end(), [&](const HostEvent& e) {
                return e.kind == HostEvent::Kind::SyncRequest && e.device == event.device;
            });
            if (waiting != m_events.end()) {
                *waiting = std::move(event);
                ++m_droppedSince.syncRequests;
                ++m_droppedTotal.syncRequests;
                return;  // the main thread was woken for the one already waiting
            }
        }
        size_t& waiting = countOf(m_waiting, kind);
        if (waiting >= limitOf(kind)) {
            // Dropping the newest keeps the order of what is shown; the
            // report after the waiting events says how many went.
            ++countOf(m_droppedSince, kind);
            ++countOf(m_droppedTotal, kind);
            return;
        }
        ++waiting;
        m_events.push_back(std::move(event));
    }
    m_wake.signal();
}

std::deque<HostEvent> HostEventQueue::takeAll() {
    m_wake.drain();
    std::lock_guard<std::mutex> lock(m_mutex);
    std::deque<HostEvent> events = std::exchange(m_events, {});
    m_waiting = {};
    if (m_droppedSince.total() != 0) {
        events.push_back(droppedEventsReport(m_droppedSince, m_droppedTotal));
        m_droppedSince = {};
    }
    return events;
}

DroppedEvents HostEventQueue::dropped() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_droppedTotal;
}
