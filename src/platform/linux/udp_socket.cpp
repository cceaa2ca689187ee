#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace dd::platform {

std::optional<uint32_t> parseIpv4(const std::string& dotted) {
    in_addr address{};
    if (inet_pton(AF_INET, dotted.c_str(), &address) != 1) {
        return std::nullopt;
    }
    return address.s_addr;
}

std::string formatIpv4(uint32_t address) {
    in_addr raw{};
    raw.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &raw, text, sizeof(text));
    return text;
}

UdpSocket::~UdpSocket() {
    close();
}

void UdpSocket::close() {
    if (m_handle != kNoHandle) {
        ::close(static_cast<int>(m_handle));
        m_handle = kNoHandle;
    }
}

bool UdpSocket::bind(uint32_t address, uint16_t port, std::string* problem) {
    close();
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in place{};
    place.sin_family = AF_INET;
    place.sin_addr.s_addr = address;
    place.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&place), sizeof(place)) != 0) {
        if (problem != nullptr) {
            *problem = std::strerror(errno);
        }
        ::close(fd);
        return false;
    }
    // Each datagram read then says how many the kernel dropped before it.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof(one));
    m_handle = fd;
    return true;
}

bool UdpSocket::receive(char* buffer, size_t size, ReceivedDatagram& out) {
    sockaddr_in source{};
    iovec part{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))] = {};
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof(source);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    // MSG_TRUNC: the whole length, so that a longer datagram is seen as such.
    ssize_t got = recvmsg(static_cast<int>(m_handle), &message, MSG_TRUNC);
    if (got < 0) {
        return false;
    }
    out = ReceivedDatagram{};
    out.size = static_cast<size_t>(got);
    out.source = source.sin_addr.s_addr;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            uint32_t dropped = 0;
            std::memcpy(&dropped, CMSG_DATA(c), sizeof(dropped));
            out.dropTotal = dropped;
        }
    }
    return true;
}

}  // namespace dd::platform
