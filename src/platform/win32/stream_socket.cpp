#include "platform/stream_socket.h"

#include <algorithm>

#include "platform/tcp_socket.h"
#include "platform/win32/socket_wait.h"
#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

SOCKET socketOf(NativeHandle handle) {
    return win32::toSocket(static_cast<int>(handle));
}

bool wouldBlock(int wsaError) {
    return wsaError == WSAEWOULDBLOCK || wsaError == WSAEINPROGRESS || wsaError == WSAEINTR;
}

bool closedBy(int wsaError) {
    return wsaError == WSAECONNRESET || wsaError == WSAECONNABORTED || wsaError == WSAESHUTDOWN ||
           wsaError == WSAENOTCONN;
}

int toInt(size_t size) {
    return static_cast<int>(std::min<size_t>(size, 1u << 30));
}

}  // namespace

void StreamSocket::close() {
    if (m_handle != kNoHandle) {
        closesocket(socketOf(m_handle));
        m_handle = kNoHandle;
    }
}

StreamStatus StreamSocket::waitFor(bool writing, Deadline deadline) {
    for (;;) {
        int left = win32::millisecondsLeft(deadline);
        if (left <= 0) {
            return StreamStatus::TimedOut;
        }
        win32::SocketWait r =
            win32::waitSocketOrEvents(static_cast<int>(m_handle), writing, nullptr, nullptr, left);
        if (r.failed) {
            return StreamStatus::Broken;
        }
        if (r.ready) {
            return StreamStatus::Ok;  // readiness, or an error the next call reports
        }
    }
}

StreamStatus StreamSocket::connect(const std::string& dottedIp, uint16_t port, Deadline deadline) {
    close();
    if (!isDottedIpv4(dottedIp)) {
        return StreamStatus::Broken;
    }
    UniqueFd fd = createTcpSocket();
    if (!fd || !setNonBlocking(fd.get(), true)) {
        return StreamStatus::Broken;
    }
    m_handle = fd.release();
    BOOL one = TRUE;
    setsockopt(socketOf(m_handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
               sizeof(one));
    switch (startConnectTcp4(static_cast<int>(m_handle), dottedIp, port)) {
        case ConnectStart::Connected:
            return StreamStatus::Ok;
        case ConnectStart::Pending:
            break;
        case ConnectStart::BadAddress:
            return StreamStatus::Broken;
        case ConnectStart::Failed:
            return WSAGetLastError() == WSAECONNREFUSED ? StreamStatus::Refused
                                                        : StreamStatus::Broken;
    }
    if (StreamStatus waited = waitFor(true, deadline); waited != StreamStatus::Ok) {
        return waited;
    }
    int error = socketError(static_cast<int>(m_handle));
    if (error == ECONNREFUSED) {
        return StreamStatus::Refused;
    }
    return error == 0 ? StreamStatus::Ok : StreamStatus::Broken;
}

StreamStatus StreamSocket::sendAll(const char* data, size_t size, Deadline deadline) {
    size_t sent = 0;
    while (sent < size) {
        int n = send(socketOf(m_handle), data + sent, toInt(size - sent), 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        int error = n == SOCKET_ERROR ? WSAGetLastError() : 0;
        if (wouldBlock(error)) {
            if (StreamStatus waited = waitFor(true, deadline); waited != StreamStatus::Ok) {
                return waited;
            }
            continue;
        }
        return closedBy(error) ? StreamStatus::Closed : StreamStatus::Broken;
    }
    return StreamStatus::Ok;
}

StreamStatus StreamSocket::receiveNow(char* data, size_t size, size_t& got) {
    got = 0;
    int n = recv(socketOf(m_handle), data, toInt(size), 0);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return StreamStatus::Ok;
    }
    if (n == 0) {
        return StreamStatus::Closed;
    }
    int error = WSAGetLastError();
    if (wouldBlock(error)) {
        return StreamStatus::Ok;
    }
    return closedBy(error) ? StreamStatus::Closed : StreamStatus::Broken;
}

}  // namespace dd::platform
