#include "event_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
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

HostEventQueue::HostEventQueue() : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HostEventQueue::~HostEventQueue() {
    close(m_wake);
}

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
    uint64_t one = 1;
    (void)!write(m_wake, &one, sizeof(one));
}

std::deque<HostEvent> HostEventQueue::takeAll() {
    uint64_t count = 0;
    (void)!read(m_wake, &count, sizeof(count));
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
