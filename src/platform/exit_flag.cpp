#include "platform/exit_flag.h"

namespace dd {

int32_t ExitFlag::request() {
    int32_t previous = m_value.exchange(1);
    {
        std::lock_guard<std::mutex> lock(m_mutex);  // no waiter can miss the change
        if (m_wakeHandle) {
            m_wakeHandle->signal();
        }
    }
    m_wake.notify_all();
    return previous;
}

void ExitFlag::poke() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_pokes;
        if (m_wakeHandle) {
            m_wakeHandle->signal();
        }
    }
    m_wake.notify_all();
}

const platform::WakeHandle* ExitFlag::wakeHandle() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_wakeHandle) {
        m_wakeHandle.emplace();
        if (m_value.load() != 0) {
            m_wakeHandle->signal();  // an exit asked before the handle existed
        }
    }
    return m_wakeHandle->valid() ? &*m_wakeHandle : nullptr;
}

void ExitFlag::drainWake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_wakeHandle) {
        m_wakeHandle.emplace();
    }
    m_wakeHandle->drain();
    if (m_value.load() != 0) {
        m_wakeHandle->signal();  // an exit stays visible to every later wait
    }
}

bool ExitFlag::sleepFor(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_for(lock, duration, [&] { return m_value.load() != 0 || m_pokes != m_pokesSeen; });
    m_pokesSeen = m_pokes;
    return m_value.load() == 0;
}

}  // namespace dd
