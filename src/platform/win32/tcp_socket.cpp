#include "platform/tcp_socket.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/win32/socket_wait.h"
#include "platform/win32/win_handle.h"

namespace dd::platform {
namespace {

using Clock = std::chrono::steady_clock;
using win32::toSocket;
constexpr std::chrono::milliseconds kStopSlice{100};

void setError(int* error, int value) {
    if (error != nullptr) {
        *error = value;
    }
}

int lastError() {
    return win32::errnoFromWsa(WSAGetLastError());
}

// The address of a dotted IPv4 text, refused unless isDottedIpv4 takes it.
bool toAddress(std::string_view dottedIp, uint16_t port, sockaddr_in& address) {
    if (!isDottedIpv4(dottedIp)) {
        return false;
    }
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    uint32_t value = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        unsigned byte = 0;
        while (pos < dottedIp.size() && dottedIp[pos] != '.') {
            byte = byte * 10 + static_cast<unsigned>(dottedIp[pos] - '0');
            ++pos;
        }
        ++pos;
        value = (value << 8) | byte;
    }
    address.sin_addr.s_addr = htonl(value);
    return true;
}

bool wouldBlock(int wsaError) {
    return wsaError == WSAEWOULDBLOCK || wsaError == WSAEINPROGRESS || wsaError == WSAEINTR;
}

int toInt(size_t size) {
    return static_cast<int>(std::min<size_t>(size, 1u << 30));
}

}  // namespace

WaitOutcome waitForFd(int fd, Io direction, std::chrono::milliseconds timeout,
                      const dd::ExitFlag* stop) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (stop != nullptr && stop->requested()) {
            return WaitOutcome::Stopped;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return WaitOutcome::TimedOut;
        }
        auto slice = stop != nullptr ? std::min(left, kStopSlice) : left;
        win32::SocketWait r = win32::waitSocketOrEvents(fd, direction == Io::Write, nullptr,
                                                        nullptr, static_cast<int>(slice.count()));
        if (r.failed) {
            return WaitOutcome::Failed;
        }
        if (r.ready) {
            return WaitOutcome::Ready;
        }
    }
}

UniqueFd connectTcp4(std::string_view dottedIp, uint16_t port, std::chrono::milliseconds timeout,
                     const dd::ExitFlag* stop, int* error) {
    setError(error, 0);
    sockaddr_in address{};
    if (!toAddress(dottedIp, port, address)) {
        setError(error, EINVAL);
        return {};
    }
    if (!win32::ensureWinsock()) {
        setError(error, ENETDOWN);
        return {};
    }
    UniqueFd fd = createTcpSocket();
    if (!fd) {
        setError(error, lastError());
        return {};
    }
    if (!setNonBlocking(fd.get(), true)) {
        setError(error, lastError());
        return {};
    }
    if (connect(toSocket(fd.get()), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
            0 &&
        !wouldBlock(WSAGetLastError())) {
        setError(error, lastError());
        return {};
    }
    switch (waitForFd(fd.get(), Io::Write, timeout, stop)) {
        case WaitOutcome::Ready:
            break;
        case WaitOutcome::TimedOut:
            setError(error, ETIMEDOUT);
            return {};
        case WaitOutcome::Stopped:
            setError(error, ECANCELED);
            return {};
        case WaitOutcome::Failed:
            setError(error, lastError());
            return {};
    }
    // Ready also means "failed" (a refused connection): the socket's own
    // error tells which.
    if (int pending = socketError(fd.get()); pending != 0) {
        setError(error, pending);
        return {};
    }
    return fd;
}

Readiness waitReadyOrWoken(int fd, Io direction, const WakeHandle* wake0, const WakeHandle* wake1,
                           int timeoutMs) {
    auto eventOf = [](const WakeHandle* wake) {
        return wake != nullptr && wake->valid() ? win32::toHandle(wake->native()) : nullptr;
    };
    win32::SocketWait r = win32::waitSocketOrEvents(fd, direction == Io::Write, eventOf(wake0),
                                                    eventOf(wake1), timeoutMs);
    Readiness result;
    result.failed = r.failed;
    result.timedOut = r.timedOut;
    result.ready = r.ready;
    result.woken[0] = r.woken[0];
    result.woken[1] = r.woken[1];
    return result;
}

// Winsock never raises a signal on a broken connection: a plain send.
long sendSome(int fd, const void* data, size_t size, bool* retry) {
    int sent = send(toSocket(fd), static_cast<const char*>(data), toInt(size), 0);
    if (retry != nullptr) {
        *retry = sent == SOCKET_ERROR && wouldBlock(WSAGetLastError());
    }
    return sent == SOCKET_ERROR ? -1 : static_cast<long>(sent);
}

long receiveSome(int fd, void* buffer, size_t size, bool& retry) {
    int got = recv(toSocket(fd), static_cast<char*>(buffer), toInt(size), 0);
    retry = got == SOCKET_ERROR && wouldBlock(WSAGetLastError());
    return got == SOCKET_ERROR ? -1 : static_cast<long>(got);
}

UniqueFd createTcpSocket() {
    if (!win32::ensureWinsock()) {
        return {};
    }
    // Not inherited by children the module starts.
    SOCKET socket = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        // Systems before Windows 7 SP1 lack the flag.
        socket = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (socket != INVALID_SOCKET) {
            SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
        }
    }
    UniqueFd fd(win32::fromSocket(socket));
    if (!fd) {
        return fd;
    }
    BOOL one = TRUE;
    if (setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
                   sizeof(one)) != 0) {
        closeSocket(fd);
    }
    return fd;
}

bool setNonBlocking(int fd, bool on) {
    SOCKET socket = toSocket(fd);
    // A socket with an event selection cannot be made blocking; the waits
    // here leave none, but a caller's own selection is ended first.
    if (!on) {
        WSAEventSelect(socket, nullptr, 0);
    }
    u_long mode = on ? 1 : 0;
    return ioctlsocket(socket, FIONBIO, &mode) == 0;
}

void closeSocket(UniqueFd& fd) {
    if (!fd.valid()) {
        return;
    }
    linger off{};
    off.l_onoff = 0;
    off.l_linger = 0;
    setsockopt(toSocket(fd.get()), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off),
               sizeof(off));
    fd.reset();
}

uint16_t allocateLocalPort() {
    UniqueFd probe = createTcpSocket();
    if (!probe) {
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = 0;
    if (bind(toSocket(probe.get()), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        return 0;
    }
    int len = sizeof(addr);
    if (getsockname(toSocket(probe.get()), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

ConnectStart startConnectTcp4(int fd, std::string_view dottedIp, uint16_t port) {
    sockaddr_in addr{};
    if (!toAddress(dottedIp, port, addr)) {
        return ConnectStart::BadAddress;
    }
    if (connect(toSocket(fd), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        return ConnectStart::Connected;
    }
    return wouldBlock(WSAGetLastError()) ? ConnectStart::Pending : ConnectStart::Failed;
}

int socketError(int fd) {
    int error = 0;
    int len = sizeof(error);
    if (getsockopt(toSocket(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) !=
        0) {
        int code = lastError();
        return code != 0 ? code : -1;
    }
    return win32::errnoFromWsa(error);
}

}  // namespace dd::platform
