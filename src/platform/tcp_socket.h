// The TCP client primitives of the module's links to phones: IPv4 only (a
// phone is reached at a forwarded loopback port or at its own address),
// non-blocking sockets with a time limit on every wait, and every wait cut
// short by an exit flag or a wake handle when the caller passes one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/exit_flag.h"
#include "platform/unique_fd.h"
#include "platform/wake_handle.h"

namespace dd::platform {

enum class WaitOutcome {
    Ready,     // the events arrived
    TimedOut,  // the time ran out first
    Stopped,   // the exit flag was set
    Failed,    // poll itself failed
};

// What a wait on a socket waits for.
enum class Io { Read, Write };

// Waits up to timeout for fd to be ready, or just for the time when fd < 0.
// With a stop flag the wait is taken in slices of at most 100 ms, so a
// request to leave is seen within that; without one it is a single wait.
WaitOutcome waitForFd(int fd, Io direction, std::chrono::milliseconds timeout,
                      const dd::ExitFlag* stop);

// One wait on a socket and up to two wake handles together.
struct Readiness {
    bool failed = false;    // the wait itself failed
    bool timedOut = false;  // nothing happened within the time
    bool ready = false;     // fd is ready, hung up or in error
    bool woken[2] = {};     // wake0 / wake1 was signalled
};
// Waits until fd (ignored when < 0) is ready for direction or a wake handle
// (null: none) is signalled; timeoutMs < 0 waits without limit. A signal
// delivered to the thread ends the wait with nothing set: wait again.
Readiness waitReadyOrWoken(int fd, Io direction, const WakeHandle* wake0, const WakeHandle* wake1,
                           int timeoutMs);

// One send without waiting and without raising SIGPIPE: the bytes taken,
// or -1 when the socket refused (*retry, when given, tells a full buffer or
// an interruption from a failure).
long sendSome(int fd, const void* data, size_t size, bool* retry = nullptr);
// One receive: the bytes read, 0 when the peer closed, -1 on failure or
// when nothing is there yet (then *retry is set: nothing is wrong).
long receiveSome(int fd, void* buffer, size_t size, bool& retry);

// A blocking IPv4 TCP socket with SO_REUSEADDR on; empty when the system
// refuses either.
UniqueFd createTcpSocket();
// Switches non-blocking mode; false when the socket refuses.
bool setNonBlocking(int fd, bool on);
// Turns off any abortive linger, so that queued bytes still leave after the
// close and the close never blocks, and closes.
void closeSocket(UniqueFd& fd);
// A free TCP port: binds a probe socket to port 0 and reads the port back.
// 0 when no socket or no bind.
uint16_t allocateLocalPort();

enum class ConnectStart {
    Connected,   // at once
    Pending,     // under way: wait for Io::Write, then look at socketError
    BadAddress,  // not a dotted IPv4 address
    Failed,      // refused at once (nothing listens there) or any other error
};
// Starts a connect on a non-blocking socket.
ConnectStart startConnectTcp4(int fd, std::string_view dottedIp, uint16_t port);
// The socket's pending error (0 for a completed connect), or the system's
// reason when it cannot be read.
int socketError(int fd);

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
