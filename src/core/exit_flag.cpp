#include "core/exit_flag.h"

namespace dd {

int32_t ExitFlag::request() {
    int32_t previous = m_value.exchange(1);
    {
        std::lock_guard<std::mutex> lock(m_mutex);  // no waiter can miss the change
    }
    m_wake.notify_all();
    return previous;
}

void ExitFlag::poke() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_pokes;
    }
    m_wake.notify_all();
}

bool ExitFlag::sleepFor(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(m_mutex);
    uint64_t pokes = m_pokes;
    m_wake.wait_for(lock, duration, [&] { return m_value.load() != 0 || m_pokes != pokes; });
    return m_value.load() == 0;
}

}  // namespace dd
