// The TCP links to a phone's programs: the command link (phone port 7890)
// and the sync-status link (phone port 7990). Both run through local ports
// that adb forwards, so every address here is IPv4 loopback.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/unique_fd.h"
#include "platform/wake_handle.h"

namespace dd {
class ExitFlag;
}

namespace dd::android {

// Owns one link socket and closes it exactly once. Closing keeps the
// system's graceful close (queued bytes such as the last status message
// still reach the phone) and never blocks the closing thread.
class LinkSocket {
  public:
    LinkSocket() = default;
    explicit LinkSocket(int fd) : m_fd(fd) {}
    ~LinkSocket() { close(); }
    LinkSocket(LinkSocket&&) noexcept = default;
    LinkSocket& operator=(LinkSocket&& other) noexcept {
        if (this != &other) {
            close();
            m_fd = std::move(other.m_fd);
        }
        return *this;
    }

    int fd() const { return m_fd.get(); }
    bool valid() const { return m_fd.valid(); }
    explicit operator bool() const { return valid(); }
    // Turns off any abortive linger and closes; a no-op when already closed.
    void close();
    // Switches non-blocking mode; false when the socket refuses.
    bool setNonBlocking(bool on);

  private:
    platform::UniqueFd m_fd;
};

// Asks the system for a free TCP port: binds a probe socket to port 0, reads
// the port back and closes the probe. 0 when no socket or no bind.
uint16_t AllocLocalPort();

// A fresh TCP socket with SO_REUSEADDR on; invalid when that cannot be had.
LinkSocket CreateLinkSocket();

// What may cut a connect short besides its time limit: an exit flag (checked
// every few tens of milliseconds) and/or a wake handle a stop request
// signals. Either is optional.
struct ConnectInterrupt {
    const ExitFlag* exitFlag = nullptr;
    const platform::WakeHandle* wake = nullptr;
};

// Connects socket to address:port within seconds. 1 on success, with the
// socket back in blocking mode; 0 on any failure (bad address, refused,
// timed out, interrupted), and then the socket has been closed. A socket
// that is writable only because the connect failed counts as a failure.
int ConnectWithTimeout(LinkSocket& socket, std::string_view address, uint16_t port, int seconds,
                       const ConnectInterrupt& interrupt = {});

}  // namespace dd::android
