// What a flood of datagrams may cost the finder, decided before a datagram
// is parsed:
//
//   the socket   at most kReadsPerSecond datagrams are read in each
//                one-second window; past that the receiver leaves the socket
//                alone until the window ends, and the kernel drops what does
//                not fit the socket's buffer (no CPU is spent on them)
//   a source     each source address has a token bucket: a burst of
//                kSourceBurst datagrams, then kSourceRefillPerSecond; a
//                datagram beyond it is dropped unparsed
//
// A phone sends one datagram per state change, so neither limit is near
// what a real phone needs. The source table is bounded too: sources whose
// bucket is full again are forgotten first (they are as good as new), then
// the one heard from longest ago.
//
// Pure bookkeeping over the times it is given; used by the receiver thread
// alone.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace qxwifi {

class DatagramBudget {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr uint32_t kReadsPerSecond = 2048;
    static constexpr double kSourceBurst = 64;
    static constexpr double kSourceRefillPerSecond = 16;
    static constexpr size_t kMaxSources = 1024;

    // Whether the socket may be read at now; when not, readableAt() says
    // when it may again.
    bool mayRead(Clock::time_point now);
    Clock::time_point readableAt() const { return m_windowStart + std::chrono::seconds(1); }
    // Counts one datagram read at now against the current window.
    void countRead(Clock::time_point now);

    // Takes one datagram from the budget of the source address (IPv4, any
    // byte order as long as it is always the same); false when it has none
    // left.
    bool takeFromSource(uint32_t address, Clock::time_point now);
    size_t sourceCount() const { return m_sources.size(); }

  private:
    struct Bucket {
        double tokens = kSourceBurst;
        Clock::time_point refilled;
    };

    void refill(Bucket& bucket, Clock::time_point now) const;
    // Makes room for one more source.
    void forgetOneSource(Clock::time_point now);

    Clock::time_point m_windowStart{};
    uint32_t m_readsInWindow = 0;
    std::unordered_map<uint32_t, Bucket> m_sources;
};

}  // namespace qxwifi
