#include "wifi/wifi_message_queue.h"

#include <chrono>

#include "log/log_stream.h"

bool WifiMessageQueue::Add(std::shared_ptr<tagWifiMessage> message) {
    if (!message) {
        DD_LOG(LOG_ERR) << "add elements error";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed || m_messages.size() >= kMaxMessages) {
            return false;
        }
        m_messages.push_back(std::move(message));
    }
    m_event.notify_one();
    return true;
}

bool WifiMessageQueue::GetFront(std::shared_ptr<tagWifiMessage>& out, int seconds) {
    if (seconds < 0) {
        DD_LOG(LOG_ERR) << "Message Array timeout!";
        return false;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    auto ready = [&] { return m_closed || !m_messages.empty(); };
    if (seconds == 0) {
        m_event.wait(lock, ready);
    } else if (!m_event.wait_for(lock, std::chrono::seconds(seconds), ready)) {
        DD_LOG(LOG_WAR) << "Get element timeout!";
        return false;
    }
    if (m_closed || m_messages.empty()) {
        return false;
    }
    out = m_messages.front();
    return true;
}

void WifiMessageQueue::PopFront() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_messages.empty()) {
        m_messages.pop_front();
    }
}

void WifiMessageQueue::close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_messages.clear();
    }
    m_event.notify_all();
}

void WifiMessageQueue::open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = false;
    m_messages.clear();
}

bool WifiMessageQueue::closed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

size_t WifiMessageQueue::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages.size();
}
