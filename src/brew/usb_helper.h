// CUsbHelper: the serial transport of one BREW phone. It opens the phone's
// tty, runs a reader thread that collects the phone's bytes, and offers one
// request/reply operation (Transact) that frames a request, sends it, waits
// for the reply, unwraps it, and waits and repeats while the phone says it
// is busy. It also knows on which hub port the tty's USB device sits, so it
// can tell before every attempt whether the phone is still plugged in.
//
// Threads: the owner (the phone's device thread) calls everything; the
// reader thread only appends to the receive buffer and signals. The receive
// buffer, its flags and the condition variable are guarded by m_mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/serial_port.h"

namespace dd {
class ExitFlag;
}

class CUsbHelper {
  public:
    // Results, as the phone thread and its log know them.
    static constexpr int kOk = 0;
    static constexpr int kReceiveTimeout = 6;
    static constexpr int kOpenFailed = 7;
    static constexpr int kSendFailed = 9;
    static constexpr int kRequestTooLong = 14;
    static constexpr int kNotConnected = 17;
    // The phone has answered busy for longer than its limit: not asked again.
    static constexpr int kBusyTooLong = 170;
    // Bound of the receive buffer: more than any reply of the protocol.
    static constexpr size_t kMaxReceiveBytes = 256 * 1024;
    static constexpr int kDefaultBusySeconds = 6;
    static constexpr int kMaxBusySeconds = 3600;
    // How long, all busy rounds of one connection together, a phone may
    // keep answering busy before it is given up.
    static constexpr int kDefaultBusyLimitMinutes = 10;
    static constexpr int kMaxBusyLimitMinutes = 24 * 60;

    using FrameCompleteTest = std::function<int(const uint8_t* bytes, size_t length)>;

    // Reads the USB tree, device nodes and settings theApp is configured for.
    CUsbHelper();
    virtual ~CUsbHelper();
    CUsbHelper(const CUsbHelper&) = delete;
    CUsbHelper& operator=(const CUsbHelper&) = delete;

    // Up to `retries` attempts, `waitMs` apart, to open the port; then the
    // reader starts and the tty's hub port is looked up. 0, or 7 when no
    // attempt opened it (or the owner was asked to leave meanwhile).
    virtual int Open(int retries, int waitMs);
    // Stops the reader, drops the modem lines, closes the port, then waits
    // waitMs (cut short when the owner must leave).
    virtual void Close(int waitMs);
    // The tty to use: a bare name ("ttyACM0") is opened as DEV_ROOT/name,
    // anything else unchanged. serial: configure the line (raw 115200 8N1).
    virtual void SetPort(const std::string& name, bool serial);
    // Empties the receive buffer, then writes every byte and waits until
    // they have left. 0, or 9 when the request could not be written whole.
    virtual int Send(std::string_view bytes, int timeoutMs);
    // Waits up to timeoutMs for a whole reply (the frame-complete test).
    // 0 or 6; either way out receives what was collected.
    virtual int Receive(std::string& out, int timeoutMs);

    void setFrameCompleteTest(FrameCompleteTest test);
    // One request and its reply: 0 with the unwrapped reply; 6 no reply after
    // the retries (also when the owner must leave or the tty went away); 17
    // the phone is no longer on its hub port; 9 the request could not be
    // sent after the retries. Failed sends and unaccepted replies use up a
    // retry too, so a phone that answers garbage cannot hold the caller.
    // Busy replies are waited out, but the busy rounds of all requests
    // through this object count against one limit (busyLimitMinutes); past
    // it the request ends with 170, and so does every later one, unsent.
    int Transact(std::string_view payload, std::string& reply, int timeoutMs, int retries);

    // The hub and port of the USB device that carries a tty: 0, 2 when the
    // tty is unknown or not on USB, 1167 when its device is not on the port.
    int cmd_FindHubNameAndPortByPort(const std::string& ttyName, std::string& hubName,
                                     int& hubPort) const;
    // 1 when a device (not a hub) is connected at the port, else 0.
    int getPortConnectionStatus(const std::string& hubName, int hubPort) const;

    // The owner's exit flag: its request cuts every wait short, and its pokes
    // (USB removals) make a waiting Receive check the port at once.
    void setExitFlag(dd::ExitFlag* flag) { m_exitFlag = flag; }
    // Seconds to wait after a busy reply: "IntervalForPhoneBusy" in section
    // "Pell" of the settings file, kDefaultBusySeconds when missing.
    int busyIntervalSeconds() const;
    // Minutes of busy rounds a phone is given: "LimitForPhoneBusy" in the
    // same section, kDefaultBusyLimitMinutes when missing. 0 gives up at the
    // first busy reply.
    int busyLimitMinutes() const;
    // True once the phone has used up its busy limit.
    bool busyLimitReached() const { return m_busyGivenUp; }

    bool isOpen() const { return m_bOpened.load(); }
    const std::string& hubName() const { return m_csHubName; }
    int hubPort() const { return m_nHubPort; }
    const std::string& devicePath() const { return m_csDevicePath; }

  private:
    void readerLoop();
    void stopReader();
    bool exitRequested() const;
    // Sleeps; false when the owner must leave.
    bool sleepFor(std::chrono::milliseconds duration);
    bool portConnected() const;
    // Adds a busy round's time; false (logged once) when the phone is past
    // its busy limit now.
    bool busyRoundsLeft(std::chrono::steady_clock::duration round);

    std::string m_sysfsRoot;
    std::string m_devRoot;
    std::string m_settingsFile;
    dd::ExitFlag* m_exitFlag = nullptr;  // not owned; set before Open

    // Time spent in busy rounds (request, busy reply, wait) since
    // construction, and whether it went past the limit. Owner only.
    std::chrono::steady_clock::duration m_busyTime{};
    bool m_busyGivenUp = false;

    std::string m_csHubName;  // filled by Open
    int m_nHubPort = 0;
    std::string m_csPortName;
    std::string m_csDevicePath;
    bool m_bSerial = true;
    std::atomic<bool> m_bOpened{false};

    dd::platform::SerialPort m_port;  // used by the reader and by Send
    dd::platform::WakeHandle m_stopReader;
    std::thread m_reader;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_buffer;       // bytes received since the last Send
    bool m_replyReady = false;  // the frame-complete test accepted m_buffer
    bool m_portGone = false;    // the tty hung up
    bool m_aborted = false;     // the owner was asked to leave
    bool m_poked = false;       // a USB removal: check the port now
    FrameCompleteTest m_frameComplete;
};
