#include "brew/usb_helper.h"

#include <algorithm>

#include "brew/brew_frame.h"
#include "device/device_host.h"
#include "log/log_stream.h"
#include "log/logged_ini.h"
#include "platform/exit_flag.h"
#include "platform/paths.h"
#include "platform/serial_sysfs.h"
#include "platform/this_thread.h"
#include "platform/usb_sysfs.h"

using dd::platform::SerialOpen;
using dd::platform::SerialRead;
namespace usb_error = dd::platform::usb_error;

namespace {

// Pause between a request and the first look for its reply.
constexpr std::chrono::milliseconds kReplyGrace{80};
// How long the reader waits in one poll; only bounds how often it looks at
// nothing, every real event wakes it at once.
constexpr std::chrono::milliseconds kReaderPoll{1000};
constexpr size_t kReadChunk = 4096;

const char* openProblem(SerialOpen result) {
    switch (result) {
        case SerialOpen::kMissing:
            return "is not there";
        case SerialOpen::kBusy:
            return "is held by another program (a modem manager probing it?)";
        case SerialOpen::kDenied:
            return "may not be opened by this user (see the udev rules)";
        default:
            return "cannot be opened";
    }
}

}  // namespace

CUsbHelper::CUsbHelper()
    : m_sysfsRoot(deviceHost().paths().sysfsRoot),
      m_devRoot(deviceHost().paths().devRoot),
      m_settingsFile(dd::platform::joinPath(deviceHost().paths().configDir, "DeviceDetect.ini")) {}

CUsbHelper::~CUsbHelper() {
    Close(0);
}

void CUsbHelper::SetPort(const std::string& name, bool serial) {
    m_csPortName = name;
    m_bSerial = serial;
    m_csDevicePath =
        name.find('/') == std::string::npos ? dd::platform::ttyNodePath(m_devRoot, name) : name;
}

void CUsbHelper::setFrameCompleteTest(FrameCompleteTest test) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frameComplete = std::move(test);
    m_replyReady = false;
}

bool CUsbHelper::exitRequested() const {
    return m_exitFlag != nullptr && m_exitFlag->requested();
}

bool CUsbHelper::sleepFor(std::chrono::milliseconds duration) {
    if (m_exitFlag != nullptr) {
        return m_exitFlag->sleepFor(duration) || !m_exitFlag->requested();
    }
    std::this_thread::sleep_for(duration);
    return true;
}

int CUsbHelper::Open(int retries, int waitMs) {
    DD_LOG(LOG_DEBUG) << "CUsbHelper::Open() ++ " << m_csDevicePath;
    Close(0);
    int err = 0;
    SerialOpen result = SerialOpen::kFailed;
    for (int attempt = 0; attempt < retries && !exitRequested(); ++attempt) {
        result = m_port.open(m_csDevicePath, m_bSerial, err);
        if (result == SerialOpen::kOk) {
            break;
        }
        DD_LOG(result == SerialOpen::kBusy ? LOG_WAR : LOG_ERR)
            << "port " << m_csDevicePath << " " << openProblem(result) << " (errno " << err
            << "), attempt " << (attempt + 1) << " of " << retries;
        if (attempt + 1 < retries && !sleepFor(std::chrono::milliseconds(waitMs))) {
            break;
        }
    }
    if (result != SerialOpen::kOk) {
        DD_LOG(LOG_DEBUG) << "CUsbHelper::Open() -- 7";
        return kOpenFailed;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_buffer.clear();
        m_replyReady = m_portGone = m_aborted = m_poked = false;
    }
    m_stopReader.drain();
    m_reader = std::thread(&CUsbHelper::readerLoop, this);
    m_bOpened.store(true);
    int found = cmd_FindHubNameAndPortByPort(m_csPortName, m_csHubName, m_nHubPort);
    if (found != 0) {
        DD_LOG(LOG_ERR) << "no USB hub port found for " << m_csPortName << ": " << found;
    }
    DD_LOG(LOG_DEBUG) << "CUsbHelper::Open() -- 0";
    return kOk;
}

void CUsbHelper::stopReader() {
    if (m_reader.joinable()) {
        m_stopReader.signal();
        m_reader.join();
        m_stopReader.drain();
    }
}

void CUsbHelper::Close(int waitMs) {
    stopReader();
    if (m_port.isOpen()) {
        if (m_bSerial) {
            m_port.dropModemLines();
        }
        m_port.flushInput();
        m_port.close();
        if (waitMs > 0) {
            sleepFor(std::chrono::milliseconds(waitMs));
        }
    }
    m_bOpened.store(false);
}

void CUsbHelper::readerLoop() {
    dd::platform::nameThisThread("dd-brew-reader");
    const dd::platform::WakeHandle* exitWake =
        m_exitFlag != nullptr ? m_exitFlag->wakeHandle() : nullptr;
    for (;;) {
        std::string chunk;
        int woken = -1;
        SerialRead result =
            m_port.readSome(chunk, kReadChunk, &m_stopReader, exitWake, woken, kReaderPoll);
        if (result == SerialRead::kWoken && woken == 0) {
            return;  // Close
        }
        if (result == SerialRead::kWoken) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_exitFlag->requested()) {
                m_aborted = true;
                exitWake = nullptr;  // stays signalled from now on: stop watching it
            } else {
                m_exitFlag->drainWake();
                m_poked = true;
            }
            m_changed.notify_all();
            continue;
        }
        if (result == SerialRead::kGone) {
            DD_LOG(LOG_INFO) << "port " << m_csDevicePath << " went away";
            std::lock_guard<std::mutex> lock(m_mutex);
            m_portGone = true;
            m_changed.notify_all();
            return;
        }
        if (result != SerialRead::kData) {
            continue;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t room = kMaxReceiveBytes - std::min(kMaxReceiveBytes, m_buffer.size());
        if (chunk.size() > room) {
            DD_LOG(LOG_ERR) << "reply longer than " << kMaxReceiveBytes << " bytes, rest dropped";
        }
        m_buffer.append(chunk, 0, std::min(room, chunk.size()));
        if (m_frameComplete &&
            m_frameComplete(reinterpret_cast<const uint8_t*>(m_buffer.data()), m_buffer.size())) {
            m_replyReady = true;
            m_changed.notify_all();
        }
    }
}

int CUsbHelper::Send(std::string_view bytes, int timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_replyReady = false;
        m_buffer.clear();
    }
    size_t written = m_port.writeAll(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                     std::chrono::milliseconds(timeoutMs));
    if (written != bytes.size()) {
        DD_LOG(LOG_ERR) << "send to " << m_csDevicePath << " failed after " << written << " of "
                        << bytes.size() << " bytes";
        m_port.flushInput();
        return kSendFailed;
    }
    return kOk;
}

int CUsbHelper::Receive(std::string& out, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait_until(lock, deadline,
                             [&] { return m_replyReady || m_portGone || m_aborted || m_poked; });
        if (m_replyReady) {
            m_replyReady = false;
            out = m_buffer;
            lock.unlock();
            m_port.flushInput();
            return kOk;
        }
        if (m_poked && !m_portGone && !m_aborted && std::chrono::steady_clock::now() < deadline) {
            m_poked = false;
            lock.unlock();
            bool connected = portConnected();
            lock.lock();
            if (connected) {
                continue;
            }
        }
        out = m_buffer;
        m_buffer.clear();
        lock.unlock();
        m_port.flushInput();
        return kReceiveTimeout;
    }
}

bool CUsbHelper::portConnected() const {
    return getPortConnectionStatus(m_csHubName, m_nHubPort) == 1;
}

int CUsbHelper::busyIntervalSeconds() const {
    int seconds =
        dd::logged::readIniInt(m_settingsFile, "Pell", "IntervalForPhoneBusy", kDefaultBusySeconds);
    if (seconds < 0 || seconds > kMaxBusySeconds) {
        DD_LOG(LOG_WAR) << "IntervalForPhoneBusy " << seconds << " out of range, using "
                        << kDefaultBusySeconds;
        seconds = kDefaultBusySeconds;
    }
    return seconds;
}

int CUsbHelper::busyLimitMinutes() const {
    int minutes = dd::logged::readIniInt(m_settingsFile, "Pell", "LimitForPhoneBusy",
                                         kDefaultBusyLimitMinutes);
    if (minutes < 0 || minutes > kMaxBusyLimitMinutes) {
        DD_LOG(LOG_WAR) << "LimitForPhoneBusy " << minutes << " out of range, using "
                        << kDefaultBusyLimitMinutes;
        minutes = kDefaultBusyLimitMinutes;
    }
    return minutes;
}

bool CUsbHelper::busyRoundsLeft(std::chrono::steady_clock::duration round) {
    m_busyTime += round;
    int limit = busyLimitMinutes();
    if (m_busyTime < std::chrono::minutes(limit)) {
        return true;
    }
    m_busyGivenUp = true;
    DD_LOG(LOG_ERR) << "the phone on " << m_csDevicePath << " has answered busy for "
                    << std::chrono::duration_cast<std::chrono::seconds>(m_busyTime).count()
                    << " s, past its limit of " << limit
                    << " min (LimitForPhoneBusy); it is not asked again";
    return false;
}

int CUsbHelper::Transact(std::string_view payload, std::string& reply, int timeoutMs, int retries) {
    reply.clear();
    if (m_busyGivenUp) {
        return kBusyTooLong;
    }
    const std::string frame = dd::brew::buildFrame(payload);
    int retriesLeft = retries < 0 ? 0 : retries;
    int lastError = kReceiveTimeout;
    for (;;) {
        // A round runs from the request to the end of a busy wait; only the
        // busy ones count against the limit.
        const auto roundStart = std::chrono::steady_clock::now();
        if (!portConnected()) {
            DD_LOG(LOG_INFO) << "phone no longer on hub " << m_csHubName << " port " << m_nHubPort;
            return kNotConnected;
        }
        if (exitRequested()) {
            return kReceiveTimeout;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_portGone) {
                DD_LOG(LOG_INFO) << "port " << m_csDevicePath << " is gone";
                return kReceiveTimeout;
            }
        }
        int sent = Send(frame, 5000);
        if (sent != kOk) {
            lastError = sent;
            if (retriesLeft-- <= 0) {
                return lastError;
            }
            continue;
        }
        if (!sleepFor(kReplyGrace)) {
            return kReceiveTimeout;
        }
        std::string raw;
        if (Receive(raw, timeoutMs) != kOk) {
            lastError = kReceiveTimeout;
            if (retriesLeft-- <= 0) {
                DD_LOG(LOG_ERR) << "no reply from the phone on " << m_csDevicePath;
                return kReceiveTimeout;
            }
            continue;
        }
        std::string unwrapped;
        if (!dd::brew::unwrapReply(raw, unwrapped)) {
            DD_LOG(LOG_ERR) << "reply of " << raw.size() << " bytes not accepted";
            lastError = kReceiveTimeout;
            if (retriesLeft-- <= 0) {
                return kReceiveTimeout;
            }
            continue;
        }
        if (dd::brew::isBusyReply(unwrapped)) {
            // The limit is checked before the wait as well, so a phone past
            // it is not waited for once more.
            if (!busyRoundsLeft(std::chrono::steady_clock::now() - roundStart)) {
                return kBusyTooLong;
            }
            int seconds = busyIntervalSeconds();
            DD_LOG(LOG_INFO) << "phone is busy, asking again in " << seconds << " s";
            const auto waitStart = std::chrono::steady_clock::now();
            for (int i = 0; i < seconds && portConnected(); ++i) {
                if (!sleepFor(std::chrono::seconds(1))) {
                    return kReceiveTimeout;
                }
            }
            if (!busyRoundsLeft(std::chrono::steady_clock::now() - waitStart)) {
                return kBusyTooLong;
            }
            continue;
        }
        reply = std::move(unwrapped);
        return kOk;
    }
}

int CUsbHelper::cmd_FindHubNameAndPortByPort(const std::string& ttyName, std::string& hubName,
                                             int& hubPort) const {
    std::string device = dd::platform::ttyUsbDevice(m_sysfsRoot, ttyName);
    std::string hub;
    int port = 0;
    if (device.empty() || !dd::platform::splitUsbDeviceName(device, hub, port)) {
        return usb_error::kFileNotFound;
    }
    if (getPortConnectionStatus(hub, port) != 1) {
        return usb_error::kDeviceNotConnected;
    }
    hubName = hub;
    hubPort = port;
    return 0;
}

int CUsbHelper::getPortConnectionStatus(const std::string& hubName, int hubPort) const {
    dd::platform::UsbSysfs tree(m_sysfsRoot, m_devRoot);
    dd::platform::UsbPortDevice device;
    if (hubName.empty() || tree.portConnection(hubName, hubPort, device) != 0 || device.isHub) {
        return 0;
    }
    return 1;
}
