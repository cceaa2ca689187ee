// The hand-over from the module's threads to the host's main thread:
// callbacks copy what they need into a HostEvent and push it; the main
// thread wakes on fd() and takes them all.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>

#include "events.h"

class HostEventQueue {
  public:
    HostEventQueue();
    ~HostEventQueue();
    HostEventQueue(const HostEventQueue&) = delete;
    HostEventQueue& operator=(const HostEventQueue&) = delete;

    // Device changes are queued as they come: the module sends a bounded
    // number per phone. A phone's sync requests are coalesced: while one of
    // its requests waits in the queue a newer one replaces it, so a phone
    // that floods ";START" cannot make the queue grow.
    void push(HostEvent event);
    std::deque<HostEvent> takeAll();
    // Readable when events wait.
    int fd() const { return m_wake; }
    // Sync requests that were folded into a waiting one, since the start.
    size_t coalesced() const;

  private:
    int m_wake;
    mutable std::mutex m_mutex;  // guards the two below
    std::deque<HostEvent> m_events;
    size_t m_coalesced = 0;
};
