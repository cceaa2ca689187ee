#include "device_tracker.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "bounded_output.h"
#include "controller_log.h"
#include "deadline.h"
#include "host_connection.h"
#include "server_session.h"

namespace devctl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFirstRetryMs = 1000;
constexpr int kLongestRetryMs = 30000;
// A list that ends sooner than this after it began is a server that keeps
// failing, not one that exited once: it is retried after a pause.
constexpr auto kShortestFollow = std::chrono::seconds(1);
constexpr size_t kMaxFrame = 4 + 0xffff;

std::string firstLine(std::string_view text) {
    return std::string(text.substr(0, std::min(text.find('\n'), size_t{200})));
}

}  // namespace

DeviceTracker::DeviceTracker(QX_AdbTrackFn callback, void* context, uint16_t port)
    : m_callback(callback), m_context(context), m_port(port) {}

DeviceTracker::~DeviceTracker() {
    m_stopping = true;
    m_stop.signal();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool DeviceTracker::start() {
    if (!m_stop.valid()) {
        return false;
    }
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool DeviceTracker::sleepUnlessStopped(int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            return !m_stopping;
        }
        dd::platform::WaitResult waited = dd::platform::waitForInput(
            m_stop, dd::platform::kNoHandle, static_cast<int>(left.count()));
        if (waited == dd::platform::WaitResult::Woken || m_stopping) {
            return false;
        }
    }
}

void DeviceTracker::run() {
    int pauseMs = 0;
    bool failing = false;
    while (!m_stopping) {
        Clock::time_point began = Clock::now();
        Outcome outcome = followOnce();
        if (outcome == Outcome::Stopped || m_stopping) {
            return;
        }
        if (outcome == Outcome::Lost) {
            logLine(LogKind::Info, "the adb server on tcp:" + std::to_string(m_port) +
                                       " ended its device list (it exited); following it again");
            m_callback(m_context, ADBTRACK_LOST, nullptr);
            failing = false;
            pauseMs = Clock::now() - began < kShortestFollow
                          ? std::clamp(pauseMs * 2, kFirstRetryMs, kLongestRetryMs)
                          : 0;
        } else {
            if (!failing) {
                logLine(LogKind::Err, "cannot follow the device list of the adb server on tcp:" +
                                          std::to_string(m_port) + "; trying again later");
            }
            failing = true;
            m_callback(m_context, ADBTRACK_NO_SERVER, nullptr);
            pauseMs = std::clamp(pauseMs * 2, kFirstRetryMs, kLongestRetryMs);
        }
        if (pauseMs > 0 && !sleepUnlessStopped(pauseMs)) {
            return;
        }
    }
}

DeviceTracker::Outcome DeviceTracker::followOnce() {
    char started[512];
    BoundedOutput output(started, sizeof(started));
    const Deadline deadline(commandTimeLimit());
    ServerContext context{m_port, deadline, output};
    HostConnection connection(deadline);
    IoStatus status = connectStartingServer(connection, context);
    if (output.used() > 0) {
        logLine(LogKind::Info, "while following the device list: " + firstLine(output.text()));
    }
    if (status == IoStatus::Ok) {
        status = connection.sendRequest("host:track-devices");
    }
    bool okay = false;
    std::string failMessage;
    if (status == IoStatus::Ok) {
        status = connection.readStatus(okay, failMessage);
    }
    if (status != IoStatus::Ok || !okay) {
        return m_stopping ? Outcome::Stopped : Outcome::NoServer;
    }
    logLine(LogKind::Info,
            "following the device list of the adb server on tcp:" + std::to_string(m_port));
    std::string pending;
    bool listed = false;
    for (;;) {
        dd::platform::WaitResult waited =
            dd::platform::waitForInput(m_stop, connection.socket().handle(), -1);
        if (m_stopping || waited == dd::platform::WaitResult::Woken) {
            return Outcome::Stopped;
        }
        if (waited != dd::platform::WaitResult::Input ||
            !readFrames(connection.socket(), pending, listed)) {
            return listed ? Outcome::Lost : Outcome::NoServer;
        }
    }
}

bool DeviceTracker::readFrames(dd::platform::StreamSocket& socket, std::string& pending,
                               bool& listed) {
    for (;;) {
        char buffer[4096];
        size_t n = 0;
        if (socket.receiveNow(buffer, sizeof(buffer), n) != dd::platform::StreamStatus::Ok) {
            return false;  // the end of the list, or a broken connection
        }
        if (n == 0) {
            return true;  // nothing more for now
        }
        pending.append(buffer, n);
        size_t length = 0;
        while (pending.size() >= 4) {
            if (!parseHex4(pending.data(), length)) {
                logLine(LogKind::Err, "the adb server's device list broke its framing");
                return false;
            }
            if (pending.size() < 4 + length) {
                break;
            }
            std::string list = pending.substr(4, length);
            pending.erase(0, 4 + length);
            listed = true;
            m_callback(m_context, ADBTRACK_DEVICES, list.c_str());
        }
        if (pending.size() > kMaxFrame) {
            return false;  // cannot happen with a 4-digit length; kept as a bound
        }
    }
}

}  // namespace devctl
