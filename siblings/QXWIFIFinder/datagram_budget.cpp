#include "datagram_budget.h"

#include <algorithm>
#include <iterator>

namespace qxwifi {

bool DatagramBudget::mayRead(Clock::time_point now) {
    if (now - m_windowStart >= std::chrono::seconds(1)) {
        m_windowStart = now;
        m_readsInWindow = 0;
    }
    return m_readsInWindow < kReadsPerSecond;
}

void DatagramBudget::countRead(Clock::time_point now) {
    mayRead(now);  // opens a new window when the last one is over
    ++m_readsInWindow;
}

void DatagramBudget::refill(Bucket& bucket, Clock::time_point now) const {
    if (now <= bucket.refilled) {
        return;
    }
    double seconds = std::chrono::duration<double>(now - bucket.refilled).count();
    bucket.tokens = std::min(kSourceBurst, bucket.tokens + seconds * kSourceRefillPerSecond);
    bucket.refilled = now;
}

void DatagramBudget::forgetOneSource(Clock::time_point now) {
    // A source whose bucket is full again is as good as one never heard.
    size_t before = m_sources.size();
    for (auto it = m_sources.begin(); it != m_sources.end();) {
        refill(it->second, now);
        it = it->second.tokens >= kSourceBurst ? m_sources.erase(it) : std::next(it);
    }
    if (m_sources.size() < before) {
        return;
    }
    auto oldest = std::min_element(m_sources.begin(), m_sources.end(), [](auto& a, auto& b) {
        return a.second.refilled < b.second.refilled;
    });
    if (oldest != m_sources.end()) {
        m_sources.erase(oldest);
    }
}

bool DatagramBudget::takeFromSource(uint32_t address, Clock::time_point now) {
    auto found = m_sources.find(address);
    if (found == m_sources.end()) {
        if (m_sources.size() >= kMaxSources) {
            forgetOneSource(now);
        }
        found = m_sources.emplace(address, Bucket{kSourceBurst, now}).first;
    }
    Bucket& bucket = found->second;
    refill(bucket, now);
    if (bucket.tokens < 1) {
        return false;
    }
    bucket.tokens -= 1;
    return true;
}

}  // namespace qxwifi
