#include "platform/exit_flag.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace dd {

namespace {

void signalFd(int fd) {
    if (fd >= 0) {
        uint64_t one = 1;
        (void)!write(fd, &one, sizeof(one));
    }
}

}  // namespace

ExitFlag::~ExitFlag() {
    if (m_wakeFd >= 0) {
        close(m_wakeFd);
    }
}

int32_t ExitFlag::request() {
    int32_t previous = m_value.exchange(1);
    {
        std::lock_guard<std::mutex> lock(m_mutex);  // no waiter can miss the change
        signalFd(m_wakeFd);
    }
    m_wake.notify_all();
    return previous;
}

void ExitFlag::poke() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_pokes;
        signalFd(m_wakeFd);
    }
    m_wake.notify_all();
}

int ExitFlag::wakeFd() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_wakeFd < 0) {
        m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_value.load() != 0) {
            signalFd(m_wakeFd);  // an exit asked before the descriptor existed
        }
    }
    return m_wakeFd;
}

void ExitFlag::drainWake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_wakeFd >= 0) {
        uint64_t count = 0;
        (void)!read(m_wakeFd, &count, sizeof(count));
        if (m_value.load() != 0) {
            signalFd(m_wakeFd);  // an exit stays visible to every later wait
        }
    }
}

bool ExitFlag::sleepFor(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(m_mutex);
    uint64_t pokes = m_pokes;
    m_wake.wait_for(lock, duration, [&] { return m_value.load() != 0 || m_pokes != pokes; });
    return m_value.load() == 0;
}

}  // namespace dd
