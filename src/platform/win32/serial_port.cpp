#include "platform/serial_port.h"

#include "platform/paths.h"
#include "platform/win32/win_handle.h"

namespace dd::platform {

namespace {

constexpr size_t kMapFileBytes = 64;
constexpr DWORD kDriverBufferBytes = 4096;
constexpr DWORD kReadChunkBytes = 4096;

// "COMn" with 1 <= n <= 255, letters in any case.
bool isComName(std::string_view name) {
    if (name.size() < 4 || name.size() > 6 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' ||
        (name[2] | 0x20) != 'm') {
        return false;
    }
    int number = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + (c - '0');
    }
    return name[3] != '0' && number >= 1 && number <= 255;
}

// The \\.\COMn to open for path (see the header); empty when there is none.
std::string comDevicePath(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string name;
    if (isComName(last)) {
        name = last;
    } else {
        std::string text;
        if (!readFileBounded(path + ".com", kMapFileBytes, text)) {
            return {};
        }
        name = text.substr(0, text.find_first_of("\r\n"));
        if (!isComName(name)) {
            return {};
        }
    }
    for (size_t i = 0; i < 3; ++i) {
        name[i] = static_cast<char>(name[i] & ~0x20);
    }
    return "\\\\.\\" + name;
}

// Waits for one of count handles or for timeoutMs (negative: no limit).
DWORD waitAny(const HANDLE* handles, DWORD count, long long timeoutMs) {
    DWORD limit = timeoutMs < 0 ? INFINITE
                  : timeoutMs >= static_cast<long long>(INFINITE - 1)
                      ? INFINITE - 1
                      : static_cast<DWORD>(timeoutMs);
    return WaitForMultipleObjects(count, handles, FALSE, limit);
}

long long remainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : left.count();
}

}  // namespace

// One overlapped read that outlives a readSome cut short by a wake or a time
// limit: its bytes are collected by the next call. Destroyed before the port
// handle (declared after it), it cancels and finishes the read first, so the
// system never writes into freed memory.
struct SerialPort::PendingIo {
    HANDLE port = INVALID_HANDLE_VALUE;
    OVERLAPPED read{};
    OVERLAPPED write{};
    bool reading = false;
    char buffer[kReadChunkBytes];
    std::string leftover;  // bytes of a read beyond what its collector asked for

    PendingIo() {
        read.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~PendingIo() {
        cancelRead();
        for (HANDLE event : {read.hEvent, write.hEvent}) {
            if (event != nullptr) {
                CloseHandle(event);
            }
        }
    }
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;

    bool valid() const { return read.hEvent != nullptr && write.hEvent != nullptr; }

    void cancelRead() {
        if (reading) {
            DWORD bytes = 0;
            CancelIoEx(port, &read);
            GetOverlappedResult(port, &read, &bytes, TRUE);
            reading = false;
        }
    }
};

SerialOpen SerialPort::open(const std::string& path, bool configure, int& errnoOut) {
    close();
    errnoOut = 0;
    std::string device = comDevicePath(path);
    if (device.empty()) {
        errnoOut = ERROR_FILE_NOT_FOUND;
        return SerialOpen::kMissing;
    }
    // A COM port admits one opener at a time whatever the sharing asked for:
    // that is the exclusive hold the transport relies on.
    HANDLE handle = CreateFileW(win32::widen(device).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errnoOut = static_cast<int>(GetLastError());
        switch (errnoOut) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_DEV_NOT_EXIST:
                return SerialOpen::kMissing;
            case ERROR_ACCESS_DENIED:  // what a COM port someone holds answers
            case ERROR_SHARING_VIOLATION:
            case ERROR_BUSY:
                return SerialOpen::kBusy;
            default:
                return SerialOpen::kFailed;
        }
    }
    UniqueFd fd(win32::fromHandle(handle));
    auto io = std::make_shared<PendingIo>();
    io->port = handle;
    if (!io->valid()) {
        errnoOut = static_cast<int>(GetLastError());
        return SerialOpen::kFailed;
    }
    PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (configure) {
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        COMMTIMEOUTS timeouts{};
        // A read returns at once with what is queued, else waits up to a
        // second for more (ERROR_TIMEOUT when none came); readSome waits on
        // beyond that while its own time lasts.
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 1000;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 5000;
        bool ok = GetCommState(handle, &dcb) != 0;
        if (ok) {
            // The parity mode itself is left as the driver had it.
            dcb.BaudRate = CBR_115200;
            dcb.ByteSize = 8;
            dcb.StopBits = ONESTOPBIT;
            dcb.fParity = FALSE;
            dcb.fBinary = TRUE;
            dcb.fOutxCtsFlow = FALSE;
            dcb.fOutxDsrFlow = FALSE;
            dcb.fOutX = FALSE;
            dcb.fInX = FALSE;
            dcb.fDsrSensitivity = FALSE;
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
            ok = SetCommState(handle, &dcb) != 0 &&
                 SetupComm(handle, kDriverBufferBytes, kDriverBufferBytes) != 0 &&
                 SetCommTimeouts(handle, &timeouts) != 0;
        }
        if (!ok) {
            errnoOut = static_cast<int>(GetLastError());
            return SerialOpen::kFailed;  // not a serial port, or one that refuses 8N1
        }
    }
    m_fd = std::move(fd);
    m_io = std::move(io);
    return SerialOpen::kOk;
}

void SerialPort::close() {
    m_io.reset();  // finishes a pending read while the handle is still open
    m_fd.reset();
}

size_t SerialPort::writeAll(const uint8_t* data, size_t size, std::chrono::milliseconds timeout) {
    if (!m_fd || !m_io) {
        return 0;
    }
    HANDLE port = win32::toHandle(m_fd.get());
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t written = 0;
    while (written < size) {
        DWORD chunk = static_cast<DWORD>(size - written > 65536 ? 65536 : size - written);
        DWORD done = 0;
        OVERLAPPED& write = m_io->write;
        ResetEvent(write.hEvent);
        if (!WriteFile(port, data + written, chunk, nullptr, &write)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                DWORD errors = 0;
                ClearCommError(port, &errors, nullptr);
                break;
            }
            if (waitAny(&write.hEvent, 1, remainingMs(deadline)) != WAIT_OBJECT_0) {
                CancelIoEx(port, &write);
            }
        }
        if (!GetOverlappedResult(port, &write, &done, TRUE) || done == 0) {
            DWORD errors = 0;
            ClearCommError(port, &errors, nullptr);
            written += done;
            break;
        }
        written += done;
    }
    if (written > 0) {
        // Returns once the driver has sent the bytes: a purge that follows
        // cannot drop the request.
        FlushFileBuffers(port);
    }
    return written;
}

SerialRead SerialPort::readSome(std::string& out, size_t maxBytes, const WakeHandle* wake0,
                                const WakeHandle* wake1, int& woken,
                                std::chrono::milliseconds timeout) {
    woken = -1;
    if (!m_fd || !m_io || maxBytes == 0) {
        return m_fd ? SerialRead::kTimeout : SerialRead::kGone;
    }
    HANDLE port = win32::toHandle(m_fd.get());
    PendingIo& io = *m_io;
    if (!io.leftover.empty()) {
        size_t take = io.leftover.size() < maxBytes ? io.leftover.size() : maxBytes;
        out.append(io.leftover, 0, take);
        io.leftover.erase(0, take);
        return SerialRead::kData;
    }
    HANDLE handles[3];
    int wakeOf[3] = {-1, -1, -1};
    DWORD count = 0;
    for (const WakeHandle* wake : {wake0, wake1}) {
        if (wake != nullptr && wake->valid()) {
            wakeOf[count] = wake == wake0 ? 0 : 1;
            handles[count++] = win32::toHandle(wake->native());
        }
    }
    handles[count] = io.read.hEvent;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (!io.reading) {
            ResetEvent(io.read.hEvent);
            if (!ReadFile(
                    port, io.buffer,
                    sizeof(io.buffer) < maxBytes ? sizeof(io.buffer) : static_cast<DWORD>(maxBytes),
                    nullptr, &io.read) &&
                GetLastError() != ERROR_IO_PENDING) {
                return SerialRead::kGone;  // the device went (or the peer hung up)
            }
            io.reading = true;
        }
        DWORD result = waitAny(handles, count + 1, remainingMs(deadline));
        if (result < WAIT_OBJECT_0 + count) {
            woken = wakeOf[result - WAIT_OBJECT_0];
            return SerialRead::kWoken;
        }
        if (result == WAIT_TIMEOUT) {
            return SerialRead::kTimeout;  // the read stays pending for the next call
        }
        if (result != WAIT_OBJECT_0 + count) {
            return SerialRead::kGone;
        }
        DWORD bytes = 0;
        io.reading = false;
        if (!GetOverlappedResult(port, &io.read, &bytes, FALSE)) {
            DWORD error = GetLastError();
            if (error == ERROR_TIMEOUT || error == ERROR_OPERATION_ABORTED) {
                bytes = 0;  // the driver's second passed empty, or a purge took the read
            } else {
                return SerialRead::kGone;
            }
        }
        if (bytes > 0) {
            size_t take = bytes > maxBytes ? maxBytes : bytes;
            out.append(io.buffer, take);
            io.leftover.assign(io.buffer + take, bytes - take);
            return SerialRead::kData;
        }
        if (remainingMs(deadline) == 0) {
            return SerialRead::kTimeout;  // the driver's second passed empty
        }
    }
}

void SerialPort::flushInput() {
    if (m_fd && m_io) {
        m_io->cancelRead();  // its bytes are being thrown away anyway
        m_io->leftover.clear();
        PurgeComm(win32::toHandle(m_fd.get()), PURGE_RXABORT | PURGE_RXCLEAR);
    }
}

void SerialPort::dropModemLines() {
    if (m_fd) {
        HANDLE port = win32::toHandle(m_fd.get());
        EscapeCommFunction(port, CLRDTR);  // a pty has no modem lines: ignored
        EscapeCommFunction(port, CLRRTS);
    }
}

}  // namespace dd::platform
