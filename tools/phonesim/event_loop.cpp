#include "event_loop.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace phonesim {
namespace {

constexpr uint64_t kWakeId = 0;  // the epoll data of the loop's own eventfd

}  // namespace

EventLoop& EventLoop::shared() {
    static EventLoop loop;
    return loop;
}

EventLoop::EventLoop()
    : m_epoll(epoll_create1(EPOLL_CLOEXEC)), m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeId;
    if (m_epoll < 0 || m_wake < 0 || epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event) != 0) {
        // Without its loop the simulator can serve nothing at all.
        std::perror("phonesim: event loop");
        std::abort();
    }
    m_thread = std::thread([this] { run(); });
}

EventLoop::~EventLoop() {
    uint64_t one = 1;
    (void)!write(m_wake, &one, sizeof(one));
    m_thread.join();
    close(m_wake);
    close(m_epoll);
}

uint64_t EventLoop::watch(int fd, uint32_t events, Callback callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t id = m_nextId++;
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        return 0;
    }
    m_entries.emplace(id, std::make_shared<Entry>(Entry{fd, std::move(callback)}));
    return id;
}

void EventLoop::unwatch(uint64_t id) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_entries.find(id);
    if (it == m_entries.end()) {
        return;
    }
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, it->second->fd, nullptr);
    m_entries.erase(it);
    if (!onLoopThread()) {
        m_idle.wait(lock, [&] { return m_running != id; });
    }
}

void EventLoop::run() {
    pthread_setname_np(pthread_self(), "phonesim-loop");
    epoll_event events[64];
    for (;;) {
        int n = epoll_wait(m_epoll, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("phonesim: epoll_wait");
            return;
        }
        for (int i = 0; i < n; ++i) {
            uint64_t id = events[i].data.u64;
            if (id == kWakeId) {
                return;
            }
            std::shared_ptr<Entry> entry;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                auto it = m_entries.find(id);
                if (it == m_entries.end()) {
                    continue;  // unwatched by an earlier callback of this round
                }
                entry = it->second;
                m_running = id;
            }
            // The entry is held here, so a callback that unwatches itself
            // does not destroy the function it runs in.
            entry->callback(events[i].events);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_running = 0;
            }
            m_idle.notify_all();
        }
    }
}

}  // namespace phonesim
