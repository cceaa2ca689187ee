// One epoll thread that waits on the sockets of every simulated phone in the
// process: listening ports, forward relays and the phone tools' links. A
// machine of 255 phones then waits with one thread instead of one (or two)
// per socket, so the simulator's own thread limit is never what a storm of
// phones runs into.
//
// Callbacks run on the loop's thread, one at a time, and must not block for
// long: every phone waits behind them.
#pragma once

#include <sys/epoll.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace phonesim {

class EventLoop {
  public:
    using Callback = std::function<void(uint32_t events)>;

    // The process's loop, started at first use and joined at exit.
    static EventLoop& shared();

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Calls callback on the loop's thread whenever fd is ready for events
    // (EPOLLIN, EPOLLOUT; hang-ups and errors always count). Returns the
    // watch's id, 0 when fd cannot be watched. The fd stays the caller's.
    uint64_t watch(int fd, uint32_t events, Callback callback);
    // When this returns, the callback is not running and never runs again
    // (called from the callback itself, it just never runs again). The fd
    // may be closed after it. Unknown ids are ignored.
    void unwatch(uint64_t id);
    bool onLoopThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

  private:
    struct Entry {
        int fd;
        Callback callback;
    };
    void run();

    int m_epoll = -1;
    int m_wake = -1;  // eventfd that ends the loop
    std::mutex m_mutex;
    std::condition_variable m_idle;  // a callback returned
    std::unordered_map<uint64_t, std::shared_ptr<Entry>> m_entries;
    uint64_t m_nextId = 1;
    uint64_t m_running = 0;  // the watch whose callback runs now, 0 for none
    std::thread m_thread;
};

}  // namespace phonesim
