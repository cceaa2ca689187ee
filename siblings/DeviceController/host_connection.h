// One connection to the adb server's loopback port and the framing of its
// host protocol. Every read and write waits on what is left of the command's
// deadline: a server that goes silent costs the time limit, never
// more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "deadline.h"
#include "platform/stream_socket.h"

namespace devctl {

enum class IoStatus {
    Ok,
    Refused,   // nothing listens on the port
    TimedOut,  // the deadline passed
    Closed,    // the server closed the connection (EOF)
    Broken     // any other failure, or a reply that breaks the protocol
};

const char* describe(IoStatus status);

// Reads the four hex digits that frame every host-protocol message; false on
// anything else.
bool parseHex4(const char* text, size_t& value);

class HostConnection {
  public:
    explicit HostConnection(const Deadline& deadline) : m_deadline(deadline) {}

    IoStatus connect(uint16_t port);
    // Sends four hex digits of length and the request.
    IoStatus sendRequest(std::string_view request);
    // "OKAY" -> okay true; "FAIL" -> okay false and the message (bounded).
    IoStatus readStatus(bool& okay, std::string& failMessage);
    // Four hex digits of length and that many bytes.
    IoStatus readPayload(std::string& payload);
    IoStatus readExact(char* data, size_t size);
    // Up to size bytes; got 0 with Closed at EOF.
    IoStatus readSome(char* data, size_t size, size_t& got);
    // The connection itself, for a stream that is waited on together with
    // a stop event and read as it comes (the device list).
    dd::platform::StreamSocket& socket() { return m_socket; }

  private:
    const Deadline& m_deadline;
    dd::platform::StreamSocket m_socket;
};

}  // namespace devctl
