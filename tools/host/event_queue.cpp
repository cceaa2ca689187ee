#include "event_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>

HostEventQueue::HostEventQueue() : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HostEventQueue::~HostEventQueue() {
    close(m_wake);
}

void HostEventQueue::push(HostEvent event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (event.kind == HostEvent::Kind::SyncRequest) {
            auto waiting = std::find_if(m_events.begin(), m_events.end(), [&](const HostEvent& e) {
                return e.kind == HostEvent::Kind::SyncRequest && e.device == event.device;
            });
            if (waiting != m_events.end()) {
                *waiting = std::move(event);
                ++m_coalesced;
                return;  // the main thread was woken for the one already waiting
            }
        }
        m_events.push_back(std::move(event));
    }
    uint64_t one = 1;
    (void)!write(m_wake, &one, sizeof(one));
}

std::deque<HostEvent> HostEventQueue::takeAll() {
    uint64_t count = 0;
    (void)!read(m_wake, &count, sizeof(count));
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_events, {});
}

size_t HostEventQueue::coalesced() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_coalesced;
}
