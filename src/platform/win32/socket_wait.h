// The one wait of the Windows platform: a socket's readiness together with up
// to two events, on an event that Winsock signals for the socket. Shared by
// the TCP, stream and wake-handle waits so that they all behave alike.
#pragma once

#include <chrono>

#include "platform/win32/win_handle.h"

namespace dd::platform::win32 {

struct SocketWait {
    bool failed = false;    // the wait itself failed
    bool timedOut = false;  // nothing happened within the time
    bool ready = false;     // the socket is ready, closed or in error
    bool woken[2] = {};     // events[0] / events[1] is signalled
};

// Waits until socket fd (ignored when < 0) is ready for reading or writing,
// or one of the events (null: none) is signalled; timeoutMs < 0 waits
// without limit. A handle that is not a socket is waited on as a kernel
// object. A socket waited on is left in non-blocking mode (Winsock's event
// selection switches it so), with no event attached afterwards; only one
// thread may wait on a given socket at a time.
SocketWait waitSocketOrEvents(int fd, bool writing, HANDLE event0, HANDLE event1, int timeoutMs);

// The errno-style value the portable headers promise for a Winsock error.
int errnoFromWsa(int wsaError);

// Milliseconds left until a deadline: rounded up, 0 once it has passed, at
// most a day.
int millisecondsLeft(std::chrono::steady_clock::time_point deadline);

}  // namespace dd::platform::win32
