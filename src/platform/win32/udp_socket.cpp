#include "platform/udp_socket.h"

#include <algorithm>

#include "platform/tcp_socket.h"
#include "platform/win32/win_handle.h"

namespace dd::platform {

// Parsed here rather than by the system's own parser, which takes forms
// (leading zeros, fewer parts) that the Linux build refuses.
std::optional<uint32_t> parseIpv4(const std::string& dotted) {
    if (!isDottedIpv4(dotted)) {
        return std::nullopt;
    }
    uint32_t value = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        size_t start = pos;
        unsigned byte = 0;
        while (pos < dotted.size() && dotted[pos] != '.') {
            byte = byte * 10 + static_cast<unsigned>(dotted[pos] - '0');
            ++pos;
        }
        if (pos - start > 1 && dotted[start] == '0') {
            return std::nullopt;
        }
        ++pos;
        value = (value << 8) | byte;
    }
    return htonl(value);
}

std::string formatIpv4(uint32_t address) {
    const uint32_t host = ntohl(address);
    return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 0xff) + "." +
           std::to_string((host >> 8) & 0xff) + "." + std::to_string(host & 0xff);
}

UdpSocket::~UdpSocket() {
    close();
}

void UdpSocket::close() {
    if (m_handle != kNoHandle) {
        closesocket(win32::toSocket(static_cast<int>(m_handle)));
        m_handle = kNoHandle;
    }
}

bool UdpSocket::bind(uint32_t address, uint16_t port, std::string* problem) {
    close();
    if (!win32::ensureWinsock()) {
        return false;
    }
    SOCKET socket = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        socket = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (socket != INVALID_SOCKET) {
            SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
        }
    }
    if (socket == INVALID_SOCKET) {
        return false;
    }
    // Another program may not take the port from under us.
    BOOL one = TRUE;
    setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
               sizeof(one));
    sockaddr_in place{};
    place.sin_family = AF_INET;
    place.sin_addr.s_addr = address;
    place.sin_port = htons(port);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&place), sizeof(place)) != 0) {
        if (problem != nullptr) {
            *problem = win32::errorText(static_cast<DWORD>(WSAGetLastError()));
        }
        closesocket(socket);
        return false;
    }
    // A datagram that reaches a port nobody listens on any more must not
    // make a later read fail with a reset.
    BOOL off = FALSE;
    DWORD returned = 0;
    WSAIoctl(socket, _WSAIOW(IOC_VENDOR, 12), &off, sizeof(off), nullptr, 0, &returned, nullptr,
             nullptr);
    m_handle = win32::fromSocket(socket);
    return true;
}

// Windows tells no count of dropped datagrams, and no length beyond the
// buffer: a datagram cut short is reported one byte longer than the buffer,
// which is all a reader needs to see it as too long.
bool UdpSocket::receive(char* buffer, size_t size, ReceivedDatagram& out) {
    sockaddr_in source{};
    int sourceLength = sizeof(source);
    const int room = static_cast<int>(std::min<size_t>(size, 1u << 30));
    int got = recvfrom(win32::toSocket(static_cast<int>(m_handle)), buffer, room, 0,
                       reinterpret_cast<sockaddr*>(&source), &sourceLength);
    size_t length = 0;
    if (got == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEMSGSIZE) {
            return false;
        }
        length = size + 1;
    } else {
        length = static_cast<size_t>(got);
    }
    out = ReceivedDatagram{};
    out.size = length;
    out.source = source.sin_addr.s_addr;
    return true;
}

}  // namespace dd::platform
