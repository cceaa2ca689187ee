#include "platform/win32/socket_wait.h"

#include <algorithm>
#include <cerrno>

namespace dd::platform::win32 {
namespace {

// A Winsock event owned for the length of one wait.
class OwnedEvent {
  public:
    OwnedEvent() : m_event(WSACreateEvent()) {}
    ~OwnedEvent() {
        if (m_event != WSA_INVALID_EVENT) {
            WSACloseEvent(m_event);
        }
    }
    OwnedEvent(const OwnedEvent&) = delete;
    OwnedEvent& operator=(const OwnedEvent&) = delete;
    WSAEVENT get() const { return m_event; }

  private:
    WSAEVENT m_event;
};

// Ready now: readable (data or the peer's close), writable, or failed (a
// refused connect shows in the exception set only).
bool readyNow(SOCKET socket, bool writing) {
    fd_set wanted;
    fd_set failed;
    FD_ZERO(&wanted);
    FD_ZERO(&failed);
    FD_SET(socket, &wanted);
    FD_SET(socket, &failed);
    timeval zero{0, 0};
    int n = select(0, writing ? nullptr : &wanted, writing ? &wanted : nullptr, &failed, &zero);
    return n != 0;  // an error is readiness too: the next call on the socket tells
}

bool signalled(HANDLE event) {
    return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

}  // namespace

SocketWait waitSocketOrEvents(int fd, bool writing, HANDLE event0, HANDLE event1, int timeoutMs) {
    SocketWait result;
    HANDLE handles[3];
    DWORD count = 0;
    OwnedEvent socketEvent;
    SOCKET socket = INVALID_SOCKET;
    HANDLE object = nullptr;  // fd when it is a kernel object, not a socket
    if (fd >= 0) {
        ensureWinsock();
        socket = toSocket(fd);
        // A listening socket reports a waiting connection as FD_ACCEPT, not
        // FD_READ (select() calls both readable).
        const long events =
            writing ? (FD_WRITE | FD_CONNECT | FD_CLOSE) : (FD_READ | FD_ACCEPT | FD_CLOSE);
        if (socketEvent.get() == WSA_INVALID_EVENT) {
            result.failed = true;
            return result;
        }
        if (WSAEventSelect(socket, socketEvent.get(), events) != 0) {
            if (WSAGetLastError() != WSAENOTSOCK) {
                result.failed = true;
                return result;
            }
            socket = INVALID_SOCKET;
            object = toHandle(fd);
        }
    }
    // The event records changes from now on; what is already there is
    // looked at once, so nothing that came before the selection is missed.
    if (socket != INVALID_SOCKET && readyNow(socket, writing)) {
        result.ready = true;
    } else {
        if (socket != INVALID_SOCKET) {
            handles[count++] = socketEvent.get();
        } else if (object != nullptr) {
            handles[count++] = object;
        }
        if (event0 != nullptr) {
            handles[count++] = event0;
        }
        if (event1 != nullptr) {
            handles[count++] = event1;
        }
        DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
        DWORD rc = count == 0 ? (Sleep(wait), WAIT_TIMEOUT)
                              : WaitForMultipleObjects(count, handles, FALSE, wait);
        if (rc == WAIT_FAILED) {
            result.failed = true;
        } else if (rc == WAIT_TIMEOUT) {
            result.timedOut = true;
        } else if (rc < WAIT_OBJECT_0 + count ||
                   (rc >= WAIT_ABANDONED_0 && rc < WAIT_ABANDONED_0 + count)) {
            result.ready = signalled(handles[0]) && (socket != INVALID_SOCKET || object != nullptr);
        }
    }
    if (socket != INVALID_SOCKET) {
        WSAEventSelect(socket, nullptr, 0);
    }
    if (!result.failed && !result.timedOut) {
        result.woken[0] = signalled(event0);
        result.woken[1] = signalled(event1);
    }
    return result;
}

int errnoFromWsa(int wsaError) {
    switch (wsaError) {
        case 0:
            return 0;
        case WSAECONNREFUSED:
            return ECONNREFUSED;
        case WSAETIMEDOUT:
            return ETIMEDOUT;
        case WSAECONNRESET:
            return ECONNRESET;
        case WSAECONNABORTED:
            return ECONNABORTED;
        case WSAENETUNREACH:
            return ENETUNREACH;
        case WSAEHOSTUNREACH:
            return EHOSTUNREACH;
        case WSAENETDOWN:
            return ENETDOWN;
        case WSAEADDRINUSE:
            return EADDRINUSE;
        case WSAEADDRNOTAVAIL:
            return EADDRNOTAVAIL;
        case WSAEWOULDBLOCK:
            return EWOULDBLOCK;
        case WSAEINPROGRESS:
        case WSAEALREADY:
            return EINPROGRESS;
        case WSAEINTR:
            return EINTR;
        case WSAEACCES:
            return EACCES;
        case WSAEMFILE:
            return EMFILE;
        case WSAENOBUFS:
            return ENOBUFS;
        case WSAENOTCONN:
            return ENOTCONN;
        case WSAEISCONN:
            return EISCONN;
        case WSAENOTSOCK:
            return ENOTSOCK;
        case WSAESHUTDOWN:
            return EPIPE;
        case WSAEAFNOSUPPORT:
            return EAFNOSUPPORT;
        case WSAEMSGSIZE:
            return EMSGSIZE;
        default:
            return EIO;
    }
}

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    return static_cast<int>(std::min<long long>((left.count() + 999) / 1000, 24LL * 3600 * 1000));
}

}  // namespace dd::platform::win32
