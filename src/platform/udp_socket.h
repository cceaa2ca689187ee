// A UDP socket that receives the datagrams sent to one IPv4 address and port,
// with the sender of each and the system's count of datagrams it dropped
// because the socket's buffer was full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/native_handle.h"

namespace dd::platform {

// A dotted IPv4 address as four bytes in network order; nullopt for
// anything else (no name is resolved).
std::optional<uint32_t> parseIpv4(const std::string& dotted);
// The dotted form of four bytes in network order.
std::string formatIpv4(uint32_t address);

struct ReceivedDatagram {
    size_t size = 0;                    // its whole length, even when cut to the buffer
    uint32_t source = 0;                // the sender's address, network order
    std::optional<uint32_t> dropTotal;  // datagrams dropped so far, when told
};

class UdpSocket {
  public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Binds to address (network order) and port. On failure problem holds
    // the system's reason, or stays empty when no socket could be made.
    bool bind(uint32_t address, uint16_t port, std::string* problem);
    void close();
    bool valid() const { return m_handle != kNoHandle; }

    // Reads one datagram that has arrived (a wait on handle() said so);
    // false when none could be read.
    bool receive(char* buffer, size_t size, ReceivedDatagram& out);

    NativeHandle handle() const { return m_handle; }

  private:
    NativeHandle m_handle = kNoHandle;
};

}  // namespace dd::platform
