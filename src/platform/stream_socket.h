// A TCP connection to an IPv4 address, non-blocking, on which every read and
// write waits at most until the caller's deadline: a peer that goes silent
// costs the deadline, never more.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/native_handle.h"

namespace dd::platform {

enum class StreamStatus {
    Ok,
    Refused,   // nothing listens on the port
    TimedOut,  // the deadline passed
    Closed,    // the peer closed or reset the connection
    Broken,    // any other failure
};

class StreamSocket {
  public:
    using Deadline = std::chrono::steady_clock::time_point;

    StreamSocket() = default;
    ~StreamSocket();
    StreamSocket(const StreamSocket&) = delete;
    StreamSocket& operator=(const StreamSocket&) = delete;

    // Connects to a dotted IPv4 address (no name is resolved), with Nagle's
    // delay off: requests are small and answered one by one.
    StreamStatus connect(const std::string& dottedIp, uint16_t port, Deadline deadline);
    StreamStatus connectLoopback(uint16_t port, Deadline deadline) {
        return connect("127.0.0.1", port, deadline);
    }
    void close();

    StreamStatus sendAll(const char* data, size_t size, Deadline deadline);
    // Up to size bytes; got 0 with Closed at the end of the stream.
    StreamStatus receiveSome(char* data, size_t size, size_t& got, Deadline deadline);
    // What has arrived, without waiting: Ok with got 0 when nothing has.
    StreamStatus receiveNow(char* data, size_t size, size_t& got);

    // For a wait on this connection together with a wake event.
    NativeHandle handle() const { return m_handle; }

  private:
    StreamStatus waitFor(bool writing, Deadline deadline);

    NativeHandle m_handle = kNoHandle;
};

}  // namespace dd::platform
