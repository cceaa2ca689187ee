// The server side of a local port: a TCP listener on the loopback address
// that local programs connect to, and a look at whether a UDP port can be
// had before a library that needs it tries to take it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace dd::platform {

// A TCP socket listening on 127.0.0.1:port (SO_REUSEADDR on). Empty on
// failure, with the system's reason in *problem when given.
UniqueFd listenOnLoopback(uint16_t port, std::string* problem = nullptr);
// The next waiting connection of a listener, non-blocking; empty when none
// could be taken.
UniqueFd acceptClient(int listener);

enum class PortState {
    Free,    // a socket could be bound to it
    InUse,   // another socket holds it
    Failed,  // no socket, or the bind failed for another reason (*problem)
};
// Binds a probe UDP socket to address (network order) and port, and lets
// it go again.
PortState probeUdpPort(uint32_t address, uint16_t port, std::string* problem = nullptr);

}  // namespace dd::platform
