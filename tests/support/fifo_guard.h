// For tests of code that must never wait on a FIFO: runs the work on a thread
// and, should it still be stuck after the limit (the fault under test), opens
// the FIFO from this side until the work's open returns, so the test fails
// instead of hanging the suite.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace ddtest {

// True when work returned within limit.
inline bool returnsWithin(const std::string& fifo, std::chrono::milliseconds limit,
                          const std::function<void()>& work) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread worker([&] {
        work();
        done.set_value();
    });
    bool inTime = finished.wait_for(limit) == std::future_status::ready;
    if (!inTime) {
        // A writer freed this way may write into a pipe nobody reads.
        struct sigaction ignore {
        }, old{};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &old);
        while (finished.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                close(fd);
            }
        }
        worker.join();
        sigaction(SIGPIPE, &old, nullptr);
        return false;
    }
    worker.join();
    return true;
}

}  // namespace ddtest
