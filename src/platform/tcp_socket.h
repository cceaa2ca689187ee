// The TCP client primitives of the module's links to phones: IPv4 only (a
// phone is reached at a forwarded loopback port or at its own address),
// non-blocking sockets with poll for every time limit, and every wait cut
// short by an exit flag when the caller passes one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/exit_flag.h"
#include "platform/unique_fd.h"

namespace dd::platform {

enum class WaitOutcome {
    Ready,     // the events arrived
    TimedOut,  // the time ran out first
    Stopped,   // the exit flag was set
    Failed,    // poll itself failed
};

// Waits up to timeout for events on fd, or just for the time when fd < 0.
// With a stop flag the wait is taken in slices of at most 100 ms, so a
// request to leave is seen within that; without one it is a single poll.
WaitOutcome waitForFd(int fd, short events, std::chrono::milliseconds timeout,
                      const dd::ExitFlag* stop);

// True for exactly four dot-separated decimal numbers 0..255, the only form
// of server address the phone links accept (no name is ever resolved).
bool isDottedIpv4(std::string_view text);

// One connect attempt to a dotted IPv4 address. The socket is made with
// SO_REUSEADDR, left non-blocking, and is returned only once connected
// within timeout. On failure the result is empty and error (when given)
// holds the errno of the failing step (ETIMEDOUT for a timeout, ECANCELED
// when stopped).
UniqueFd connectTcp4(std::string_view dottedIp, uint16_t port, std::chrono::milliseconds timeout,
                     const dd::ExitFlag* stop, int* error = nullptr);

// Sends every byte on a non-blocking socket; waiting for room never lasts
// longer than silence at a time. False on error, timeout or stop.
bool sendAllWithin(int fd, const void* data, size_t size, std::chrono::milliseconds silence,
                   const dd::ExitFlag* stop);

}  // namespace dd::platform
