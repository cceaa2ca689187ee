#include "platform/loopback_server.h"

#include <ws2tcpip.h>

#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

SOCKET newSocket(int type, int protocol, std::string* problem) {
    if (!win32::ensureWinsock()) {
        if (problem != nullptr) {
            *problem = "Windows Sockets cannot be started";
        }
        return INVALID_SOCKET;
    }
    SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && problem != nullptr) {
        *problem = win32::errorText(static_cast<DWORD>(WSAGetLastError()));
    }
    return s;
}

sockaddr_in placeOf(uint32_t address, uint16_t port) {
    sockaddr_in place{};
    place.sin_family = AF_INET;
    place.sin_addr.s_addr = address;
    place.sin_port = htons(port);
    return place;
}

}  // namespace

UniqueFd listenOnLoopback(uint16_t port, std::string* problem) {
    UniqueFd fd(win32::fromSocket(newSocket(SOCK_STREAM, IPPROTO_TCP, problem)));
    if (!fd) {
        return fd;
    }
    SOCKET s = win32::toSocket(fd.get());
    // Windows lets a socket with SO_REUSEADDR take a port another one
    // listens on; this one keeps its port to itself instead.
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
    sockaddr_in place = placeOf(htonl(INADDR_LOOPBACK), port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&place), sizeof(place)) != 0 ||
        listen(s, 16) != 0) {
        if (problem != nullptr) {
            *problem = win32::errorText(static_cast<DWORD>(WSAGetLastError()));
        }
        fd.reset();
    }
    return fd;
}

UniqueFd acceptClient(int listener) {
    SOCKET client = accept(win32::toSocket(listener), nullptr, nullptr);
    if (client == INVALID_SOCKET) {
        return UniqueFd();
    }
    u_long on = 1;
    ioctlsocket(client, FIONBIO, &on);
    return UniqueFd(win32::fromSocket(client));
}

PortState probeUdpPort(uint32_t address, uint16_t port, std::string* problem) {
    UniqueFd probe(win32::fromSocket(newSocket(SOCK_DGRAM, IPPROTO_UDP, problem)));
    if (!probe) {
        return PortState::Failed;
    }
    sockaddr_in place = placeOf(address, port);
    if (bind(win32::toSocket(probe.get()), reinterpret_cast<const sockaddr*>(&place),
             sizeof(place)) == 0) {
        return PortState::Free;
    }
    int error = WSAGetLastError();
    if (error == WSAEADDRINUSE || error == WSAEACCES) {
        return PortState::InUse;  // WSAEACCES: held with SO_EXCLUSIVEADDRUSE
    }
    if (problem != nullptr) {
        *problem = win32::errorText(static_cast<DWORD>(error));
    }
    return PortState::Failed;
}

}  // namespace dd::platform
