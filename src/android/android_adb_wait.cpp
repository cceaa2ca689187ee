// Stage 3b of the Android phone's thread: wait until adb lists the phone as
// "device". A phone reaches adb some time after it reaches USB, and one
// plugged into this PC for the first time stays "unauthorized" until its
// user accepts the USB debugging prompt: these are states of a plugged
// phone, not failures. The thread sleeps on its wake descriptor, which the
// module's adb device list (AdbDeviceTracker), a USB removal and an exit
// request all signal; only the overall limit is a clock.

#include <algorithm>
#include <cerrno>

#include "android/device_controller_bridge.h"
#include "android/usb_device_thread_android.h"
#include "base/text_codec.h"
#include "device/device_host.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record.h"
#include "deviceinfo/record_builder.h"
#include "log/log_stream.h"
#include "log/logged_ini.h"
#include "platform/paths.h"
#include "platform/tcp_socket.h"

namespace {

using dd::android::AdbDeviceTracker;
using dd::android::AdbState;

// "orqBRAXLoader.ini" [Detect] "AdbWaitSeconds": how long a plugged phone is
// waited for in adb, counted from the start of its wait.
constexpr int kDefaultAdbWaitSeconds = 300;
constexpr int kLongestAdbWaitSeconds = 3600;
// States that pass by themselves within a moment on a working machine (the
// phone's adb is starting): the log and the host hear of them only when
// they last this long.
constexpr auto kPassingStateGrace = std::chrono::seconds(2);

std::chrono::seconds adbWaitLimit() {
    std::string ini = dd::platform::joinPath(deviceHost().moduleFolder(), "orqBRAXLoader.ini");
    int seconds = dd::logged::readIniInt(ini, "Detect", "AdbWaitSeconds", kDefaultAdbWaitSeconds);
    if (seconds < 1 || seconds > kLongestAdbWaitSeconds) {
        DD_LOG(LOG_WAR) << "AdbWaitSeconds " << seconds << " out of range, using "
                        << kDefaultAdbWaitSeconds;
        seconds = kDefaultAdbWaitSeconds;
    }
    return std::chrono::seconds(seconds);
}

bool passesByItself(AdbState state) {
    return state == AdbState::kUnknown || state == AdbState::kAbsent || state == AdbState::kOffline;
}

long long millisecondsSince(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

}  // namespace

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageAdbWait(RunContext& run) {
    if (!run.adbUse) {
        run.adbUse.emplace();
        run.adbWaitBegan = Clock::now();
    }
    const std::chrono::seconds limit = adbWaitLimit();
    const Clock::time_point end = run.adbWaitBegan + limit;
    AdbDeviceTracker::Waiter waiter([this] { m_lExit.poke(); });
    for (;;) {
        // Drained before the look, so a change after it still wakes the wait.
        m_lExit.drainWake();
        AdbDeviceTracker::View view = AdbDeviceTracker::instance().view(run.serial);
        if (!view.following) {
            return exitRequested() ? Next::kExit : Next::kContinue;  // no list: read as before
        }
        if (view.state == AdbState::kDevice) {
            if (run.adbWaited) {
                DD_LOG(LOG_INFO) << "[DETECT] adb lists " << run.serial << " as device after "
                                 << millisecondsSince(run.adbWaitBegan) << " ms";
            }
            return exitRequested() ? Next::kExit : Next::kContinue;
        }
        run.adbWaited = true;
        const Clock::time_point now = Clock::now();
        // Asked while the list says "offline" past the grace.
        const bool asking =
            view.state == AdbState::kOffline && now - run.adbWaitBegan >= kPassingStateGrace;
        if (asking) {
            refineOfflineState(run, view);
        } else {
            run.adbAskedState.clear();
            run.adbAskInterval = std::chrono::milliseconds(0);
        }
        const bool tell =
            view.state != AdbState::kUnknown &&
            (!passesByItself(view.state) || now - run.adbWaitBegan >= kPassingStateGrace);
        if (tell && view.state != run.adbStateTold) {
            tellAdbWaiting(run, view, limit);
        }
        if (now >= end) {
            DD_LOG(LOG_ERR) << "[DETECT] gave up waiting for " << run.serial << " in adb after "
                            << limit.count() << " s ("
                            << dd::android::adbStateName(view.state, view.stateText)
                            << "), leave thread";
            return leave();
        }
        if (presenceAndExitCheck() == Next::kExit) {
            return Next::kExit;
        }
        // Events wake the wait; the clock only for the end of the grace,
        // the next "adb devices" and the limit.
        const Clock::time_point graceEnd = run.adbWaitBegan + kPassingStateGrace;
        Clock::time_point wakeAt = now < graceEnd ? std::min(end, graceEnd) : end;
        if (asking) {
            wakeAt = std::min(wakeAt, run.adbNextAsk);
        }
        waitForWake(wakeAt);
    }
}

void CUsbDeviceThread_Android::refineOfflineState(RunContext& run, AdbDeviceTracker::View& view) {
    const Clock::time_point now = Clock::now();
    if (now >= run.adbNextAsk) {
        std::string output;
        if (RunAdbCmd("devices", output, kAdbTimeLimitMs) == 0) {
            auto phones = dd::android::parseAdbDeviceList(output);
            auto it = phones.find(run.serial);
            run.adbAskedState = it == phones.end() ? std::string() : it->second;
        }
        run.adbAskInterval = std::clamp(run.adbAskInterval * 2, std::chrono::milliseconds(2000),
                                        std::chrono::milliseconds(30000));
        run.adbNextAsk = now + run.adbAskInterval;
    }
    if (!run.adbAskedState.empty()) {
        view.state = dd::android::classifyAdbState(run.adbAskedState);
        view.stateText = run.adbAskedState;
        if (view.state == AdbState::kDevice) {
            view.state = AdbState::kOffline;  // the device list says when it is usable
        }
    }
}

void CUsbDeviceThread_Android::tellAdbWaiting(RunContext& run, const AdbDeviceTracker::View& view,
                                              std::chrono::seconds limit) {
    run.adbStateTold = view.state;
    std::string name = dd::android::adbStateName(view.state, view.stateText);
    DD_LOG(LOG_INFO) << "[DETECT] " << run.serial << " waits in adb (" << name
                     << "): " << dd::android::adbStateAdvice(view.state) << "; waiting up to "
                     << limit.count() << " s";
    DeviceRecord* record = BuildTemporaryRecord(run.serial, "", static_cast<uint16_t>(run.vid),
                                                static_cast<uint16_t>(run.pid));
    if (record == nullptr) {
        return;
    }
    dd::copyToField(record->firmware, "adb:" + name);
    // The host now shows the phone as waiting: when it leaves or is given
    // up, the exit stage withdraws it (REMOVE_DEVICE with the adb serial).
    m_pDeviceInfo->adbSerial = run.serial;
    if (deviceHost().notifyDeviceChange(DRIVER_INSTALLING, record)) {
        m_pDeviceInfo->notified.store(1);
    }
    freeDeviceRecord(record);
}

bool CUsbDeviceThread_Android::adbStateMayExplainFailure(const RunContext& run) {
    if (!run.adbUse || Clock::now() >= run.adbWaitBegan + adbWaitLimit()) {
        return false;
    }
    AdbDeviceTracker::View view = AdbDeviceTracker::instance().view(run.serial);
    if (!view.following || view.state == AdbState::kDevice) {
        return false;
    }
    if (!devicePresent() || exitRequested()) {
        return false;
    }
    DD_LOG(LOG_INFO) << "[DETECT] " << run.serial << " left the device state in adb ("
                     << dd::android::adbStateName(view.state, view.stateText)
                     << ") while its properties were read; waiting for it again";
    return true;
}

void CUsbDeviceThread_Android::waitForWake(Clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) {
        return;
    }
    // Rounded up to a whole millisecond, so the wait never ends just short of until.
    int timeout = static_cast<int>(std::min<long long>(left.count() + 1, 24LL * 3600 * 1000));
    const dd::platform::WakeHandle* wake = m_lExit.wakeHandle();
    for (;;) {
        dd::platform::Readiness r =
            dd::platform::waitReadyOrWoken(-1, dd::platform::Io::Read, wake, nullptr, timeout);
        if (r.failed || r.timedOut || r.woken[0]) {
            return;
        }
    }
}
