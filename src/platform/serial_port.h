// A serial port (a USB modem's ttyACM/ttyUSB node, or a pseudo-terminal in
// tests) opened for one program's exclusive use, in raw 8N1 mode. This is
// the only code in the module that calls termios (on Windows, the COM port
// functions); the transport above it speaks in bytes, time limits and
// outcomes.
//
// Windows: a path whose last part is "COMn" (1 <= n <= 255, any case) opens
// \\.\COMn. Any other path (DEV_ROOT/ttyACM0 from a fake tree) names its COM
// port in a map file beside it, path + ".com", whose first line is "COMn";
// the test harness writes it together with the Wine link dosdevices/comn to
// the simulator's pty. Without a valid map file the port counts as missing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/unique_fd.h"
#include "platform/wake_handle.h"

namespace dd::platform {

enum class SerialOpen {
    kOk,
    kMissing,  // no such node (the device is gone or not set up yet)
    kBusy,     // another program holds the port (a modem manager probing it)
    kDenied,   // no permission on the node
    kFailed,   // anything else, including a node that is not a terminal
};

enum class SerialRead {
    kData,     // at least one byte was appended
    kTimeout,  // the time passed without data
    kWoken,    // the wake descriptor became readable
    kGone,     // the port hung up or vanished (unplug, peer closed)
};

class SerialPort {
  public:
    static constexpr unsigned kBaudRate = 115200;

    SerialPort() = default;
    SerialPort(SerialPort&&) = default;
    SerialPort& operator=(SerialPort&&) = default;

    // Opens path read-write, non-blocking, without making it the controlling
    // terminal, and takes an exclusive lock on it so that two programs never
    // talk to the phone at once. With configure set the line becomes raw,
    // 115200 baud, 8 data bits, 1 stop bit, no parity, no flow control.
    // errnoOut receives the system's reason on failure.
    SerialOpen open(const std::string& path, bool configure, int& errnoOut);
    bool isOpen() const { return m_fd.valid(); }
    void close();

    // Writes every byte, waiting at most timeout for the line to take them,
    // then waits until they have left (tcdrain), so that nothing done after
    // (a purge) can drop a request not yet transmitted. Returns the number
    // of bytes written; fewer than size means the write failed.
    size_t writeAll(const uint8_t* data, size_t size, std::chrono::milliseconds timeout);
    // Appends what is there (at most maxBytes) to out, waiting up to timeout
    // for the port or for one of the wake handles (null: none) to become
    // readable; woken tells which (0 or 1).
    SerialRead readSome(std::string& out, size_t maxBytes, const WakeHandle* wake0,
                        const WakeHandle* wake1, int& woken, std::chrono::milliseconds timeout);
    // Discards what was received and not yet read.
    void flushInput();
    // Drops DTR and RTS (the phone sees the PC let go of the line).
    void dropModemLines();

  private:
    struct PendingIo;  // Windows: the overlapped read kept across readSome calls

    UniqueFd m_fd;
    std::shared_ptr<PendingIo> m_io;
};

}  // namespace dd::platform
