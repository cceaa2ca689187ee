// Stage 15 of the Android phone's thread: the steady state. The thread holds
// the command link to the phone's sync tool (port 7890): it connects, sends
// the probe, and takes any answer as the phone being connected (NEW_DEVICE).
// A lost link is how it learns that the tool, or the phone, went away. The
// sync link (port 7990) runs beside it in SyncServerThread, rebuilt at every
// quiet second while it is down. A linked, quiet phone costs no wake-ups.
#include <algorithm>
#include <cerrno>

#include "android/device_controller_bridge.h"
#include "android/service_provisioning.h"
#include "android/usb_device_thread_android.h"
#include "base/text_codec.h"
#include "device/device_host.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record.h"
#include "deviceinfo/device_record_store.h"
#include "deviceinfo/record_builder.h"
#include "log/log_stream.h"
#include "platform/tcp_socket.h"

namespace {

constexpr char kProbe[] = "AT+CGSN\r\n";
constexpr size_t kProbeSize = sizeof(kProbe) - 1;
constexpr size_t kReceiveSize = 128;
constexpr int kQuietMs = 1000;
constexpr int kLostLinkChecks = 6;
constexpr uint16_t kServicePort = 8182;

}  // namespace

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageLinkLoop(RunContext& run) {
    while (!exitRequested()) {
        if (connectCommandLink(run)) {
            watchCommandLink(run);
        }
    }
    DD_LOG(LOG_INFO) << "end loop";
    return Next::kContinue;
}

bool CUsbDeviceThread_Android::connectCommandLink(RunContext& run) {
    if (hasSyncTool(run)) {
        std::string output;
        dd::android::Start7890Service(run.serial, output);
    }
    m_sockCmd = dd::android::CreateLinkSocket();
    // A poke left over from a pause (a removal elsewhere, the sync link's
    // end) must not cut this connect short; an exit request stays visible.
    m_lExit.drainWake();
    dd::android::ConnectInterrupt interrupt{&m_lExit, m_lExit.wakeHandle()};
    if (!m_sockCmd || dd::android::ConnectWithTimeout(m_sockCmd, "127.0.0.1", m_nCmdLocalPort, 1,
                                                      interrupt) == 0) {
        DD_LOG(LOG_ERR) << "FAILED: connect android 7890(" << m_nCmdLocalPort << ") failed";
        if (!devicePresent()) {
            DD_LOG(LOG_ERR) << "connect failed.can not found device";
            return false;
        }
        forwardAll(run);
        if (m_pDeviceInfo->notified.exchange(0) == 1) {
            NotifyRemoveDevice(m_pDeviceInfo.get());
        }
        pause(std::chrono::milliseconds(500));
        return false;
    }
    DD_LOG(LOG_INFO) << "[DETECT] connect 7890 successed.";
    std::string output;
    dd::android::StartHttpdService(run.serial, output, run.kernel.androidVersion);
    // Never rebinds: a port that another phone holds now is not taken back.
    m_nHttpLocalPort = forward(run, m_nHttpLocalPort, kServicePort);
    long sent = dd::platform::sendSome(m_sockCmd.fd(), kProbe, kProbeSize);
    if (sent != static_cast<long>(kProbeSize)) {
        DD_LOG(LOG_ERR) << "FAILED: send msg to android failed";
        bool present = devicePresent();
        m_sockCmd.close();
        if (!present) {
            DD_LOG(LOG_ERR) << "FAILED: send msg to android failed";
            return false;
        }
        pause(std::chrono::milliseconds(1000));
        return false;
    }
    return true;  // linked: the caller watches it
}

bool CUsbDeviceThread_Android::syncLinkWanted() const {
    return m_lSyncServerStopped.load() == 1 && m_nState.load() != kStateUserDisconnected &&
           !m_syncServer->disabled();
}

int CUsbDeviceThread_Android::commandWaitMs(bool answered, Clock::time_point answerDeadline) const {
    // A quiet, linked phone sleeps until something happens: data or a close
    // on the link, a USB removal, stop, or the sync link ending (which pokes
    // this thread). Only a sync link that is down is retried at every quiet
    // second, and a link that has not answered yet has its time limit.
    int timeout = syncLinkWanted() ? kQuietMs : -1;
    if (!answered) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(answerDeadline - Clock::now());
        int leftMs = static_cast<int>(std::max<int64_t>(left.count(), 0));
        timeout = timeout < 0 ? leftMs : std::min(timeout, leftMs);
    }
    return timeout;
}

void CUsbDeviceThread_Android::watchCommandLink(RunContext& run) {
    m_sockCmd.setNonBlocking(true);
    const dd::platform::WakeHandle* wake = m_lExit.wakeHandle();
    bool answered = false;
    const Clock::time_point answerDeadline = Clock::now() + kFirstAnswerLimit;
    while (!exitRequested()) {
        dd::platform::Readiness ready =
            dd::platform::waitReadyOrWoken(m_sockCmd.fd(), dd::platform::Io::Read, wake, nullptr,
                                           commandWaitMs(answered, answerDeadline));
        if (ready.failed) {
            DD_LOG(LOG_ERR) << "7890 select error";
            continue;
        }
        if (ready.timedOut) {
            if (!answered && Clock::now() >= answerDeadline) {
                // Something accepted the link but the sync tool never
                // answered the probe: make the link again rather than wait
                // forever on it.
                DD_LOG(LOG_ERR) << "7890 no answer in "
                                << std::chrono::duration_cast<std::chrono::milliseconds>(
                                       kFirstAnswerLimit)
                                       .count()
                                << " ms, link made again";
                m_sockCmd.close();
                pause(std::chrono::milliseconds(500));
                return;
            }
            if (syncLinkWanted()) {
                startSyncLink(false);
            }
            continue;
        }
        if (!ready.ready && !ready.woken[0]) {
            continue;  // a signal ended the wait
        }
        if (ready.woken[0]) {
            // An exit request, a USB removal or the sync link's end: check
            // the phone now.
            m_lExit.drainWake();
            if (!exitRequested() && !devicePresent()) {
                DD_LOG(LOG_ERR) << "device is unplug.leave thread";
            }
            if (!ready.ready) {
                continue;
            }
        }
        char buffer[kReceiveSize];
        bool retry = false;
        long received = dd::platform::receiveSome(m_sockCmd.fd(), buffer, sizeof(buffer), retry);
        if (retry) {
            continue;
        }
        if (received <= 0) {
            DD_LOG(LOG_ERR) << (received == 0 ? "7890 recv return 0" : "7890 recv return -1");
            bool present = devicePresent();
            for (int check = 1; present && check < kLostLinkChecks; ++check) {
                pause(std::chrono::milliseconds(500));
                present = devicePresent();
            }
            m_sockCmd.close();
            if (!present) {
                DD_LOG(LOG_ERR) << "device is unplug.leave thread";
                return;
            }
            forwardAll(run);
            pause(std::chrono::milliseconds(1000));
            return;
        }
        answered = true;
        if (phoneAnswered(run) == Next::kExit) {
            return;
        }
    }
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::phoneAnswered(RunContext& run) {
    AndroidDeviceInfo& entry = *m_pDeviceInfo;
    if (dd::equalsIgnoreCase(entry.sdcard.state, "shared") ||
        dd::equalsIgnoreCase(entry.emmc.state, "shared")) {
        // The phone lends its storage to this PC as a disk: give it back
        // before the sync suite reads the phone through the service.
        DeviceRecord* record = BuildDeviceRecord(entry, deviceHost().m_csPCIdentity);
        if (record == nullptr) {
            DD_LOG(LOG_ERR) << "memory not enough";
            return leave();
        }
        uint16_t unmounted = COrqDiskHelper().UnmountDisk(record);
        DD_LOG(LOG_INFO) << "[DETECT] storage shared with this PC, unmount ret " << unmounted;
        freeDeviceRecord(record);
        if (readInformation(run) != 1) {
            return leave();
        }
    }
    m_csConnectedSerial.set(m_csSerialNum.get());
    {
        // Announced and marked in one step under the record lock, as a host
        // disconnect withdraws and clears the mark: the mark never outlives
        // the withdrawal.
        std::lock_guard<std::recursive_mutex> lock(deviceHost().m_recordLock);
        NotifyNewDevice(m_pDeviceInfo.get());
        entry.notified.store(1);
    }
    if (m_lSyncServerStopped.load() == 1 && m_nState.load() != kStateUserDisconnected) {
        startSyncLink(true);
    }
    DD_LOG(LOG_INFO) << "[DETECT] device is connected.";
    return Next::kContinue;
}

void CUsbDeviceThread_Android::startSyncLink(bool rebuild) {
    if (m_syncServer->start() && rebuild) {
        DD_LOG(LOG_ERR) << "rebuild SyncServerThread";
    }
}
