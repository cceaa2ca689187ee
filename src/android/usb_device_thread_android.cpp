#include "android/usb_device_thread_android.h"

#include "android/boot_readiness.h"
#include "android/service_provisioning.h"
#include "device/device_host.h"
#include "device/hub_queries.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record.h"
#include "deviceinfo/device_record_store.h"
#include "deviceinfo/record_builder.h"
#include "deviceinfo/record_dump.h"
#include "log/log_stream.h"

namespace err = dd::platform::usb_error;

namespace {

// Pid of the phones whose product version "1403" only the suite's own
// Brisel build supports.
constexpr int kBriselPid = 0x0FB4;
constexpr int kSyncToolAttempts = 3;

// The serial travels in adb command lines and in file names: accept only the
// characters real phones use, so a crafted string descriptor cannot add
// arguments or reach outside a folder. It is also the phone's key until its
// own serial is read (and after, when that one is not usable), so it must
// fit the record's field whole.
bool isSafeSerial(const std::string& serial) {
    if (serial.empty() || serial.size() > kMaxDeviceKeyChars) {
        return false;
    }
    for (char c : serial) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-' || c == ':';
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace

// The state machine, in order. A stage returns kExit to skip the rest; the
// exit stage always runs.
const CUsbDeviceThread_Android::Stage CUsbDeviceThread_Android::kStages[] = {
    &CUsbDeviceThread_Android::stageStart,         // 1
    &CUsbDeviceThread_Android::stageIdentify,      // 2
    &CUsbDeviceThread_Android::stageDriver,        // 3
    &CUsbDeviceThread_Android::stageAdbWait,       // 3b: adb lists the phone as "device"
    &CUsbDeviceThread_Android::stageProperties,    // 4
    &CUsbDeviceThread_Android::stageModelGate,     // 5
    &CUsbDeviceThread_Android::stageBoot,          // 6
    &CUsbDeviceThread_Android::stageSyncTool,      // 7
    &CUsbDeviceThread_Android::stageWait7890,      // 8
    &CUsbDeviceThread_Android::stageDiscovered,    // 9
    &CUsbDeviceThread_Android::stageServicePort,   // 10
    &CUsbDeviceThread_Android::stageInformation,   // 11
    &CUsbDeviceThread_Android::stageInstallRetry,  // 12
    &CUsbDeviceThread_Android::stagePairing,       // 13
    &CUsbDeviceThread_Android::stageLinkSetup,     // 14
    &CUsbDeviceThread_Android::stageLinkLoop,      // 15
};

CUsbDeviceThread_Android::CUsbDeviceThread_Android(std::shared_ptr<AndroidDeviceInfo> deviceInfo,
                                                   std::string hubPath, int hubPort,
                                                   std::string dllName, int vid, int pid)
    : CUsbDeviceThread(std::move(hubPath), hubPort, std::move(dllName), vid, pid,
                       std::move(deviceInfo)) {
    m_syncServer = std::make_unique<dd::android::SyncServerThread>(dd::android::SyncServerLinks{
        m_nSyncLocalPort,
        m_lSyncStatus,
        m_lSyncServerStopped,
        [this] { MarkLeaving(); },  // "STOP_APP": the phone-side tool is closing
        dd::android::notifyHostOfSyncRequest,
    });
    // The command link's wait has no clock while the sync link is up; its
    // end wakes that wait so the link is rebuilt.
    m_syncServer->setOnEnded([this] { m_lExit.poke(); });
}

int CUsbDeviceThread_Android::SetSyncStatus(int status) {
    CUsbDeviceThread::SetSyncStatus(status);
    m_syncServer->statusChanged();
    return 1;
}

CUsbDeviceThread_Android::~CUsbDeviceThread_Android() {
    // The state machine uses this object's members: it must be over before
    // they go. The owner has normally joined already.
    RequestExit();
    Join();
}

int CUsbDeviceThread_Android::InitInstance() {
    RunContext run;
    for (Stage stage : kStages) {
        if ((this->*stage)(run) == Next::kExit) {
            break;
        }
    }
    stageExit(run);
    return 0;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::leave() {
    MarkLeaving();
    return Next::kExit;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::presenceAndExitCheck() {
    if (!devicePresent() || exitRequested()) {
        return Next::kExit;
    }
    return Next::kContinue;
}

bool CUsbDeviceThread_Android::hasSyncTool(const RunContext& run) {
    return run.kernel.velaVersion >= 4.5 - 1e-9;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageStart(RunContext&) {
    // State 1 and the running-thread count were set when the thread was
    // resumed, so that the detector never starts more than its limit.
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_Android::InitInstance() ++";
    DD_LOG(LOG_INFO) << "braxLoader http port :" << deviceHost().loaderHttpPort();
    return exitRequested() ? Next::kExit : Next::kContinue;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageIdentify(RunContext& run) {
    RememberDevice();  // before reading it: a replacement after this is noticed
    int ret =
        GetUsbNodeInfo(m_csHubPath, m_nHubPort, &run.vid, &run.pid, &run.driverKey, &run.serial);
    if (ret != 0 && run.vid == 0 && run.pid == 0) {
        DD_LOG(LOG_ERR) << "read usb node info failed,leave detect thread";
        return leave();
    }
    if (m_pDeviceInfo) {
        m_pDeviceInfo->usbIfId = dd::android::GetUsbDeviceInterfaceId(
            run.serial, static_cast<uint16_t>(run.pid), static_cast<uint16_t>(run.vid), m_csHubPath,
            m_nHubPort);
    }
    int supported = deviceHost().supportedDevices().doesDeviceSupport(
        static_cast<uint32_t>(run.vid), static_cast<uint32_t>(run.pid));
    if (ret != 0 || supported != 1 || run.serial.empty()) {
        DD_LOG(LOG_INFO) << "ret =" << ret;
        DD_LOG(LOG_INFO) << "bFod =" << supported;
        // The serial is the device's own text: logged only once it passed the check.
        if (isSafeSerial(run.serial)) {
            DD_LOG(LOG_INFO) << "csSerialNumber =" << run.serial;
        } else {
            DD_LOG(LOG_INFO) << "csSerialNumber unsafe (" << run.serial.size() << " bytes)";
        }
        DD_LOG(LOG_ERR) << "device no support.leave detect thread";
        return leave();
    }
    if (run.serial.size() > kMaxDeviceKeyChars) {
        DD_LOG(LOG_ERR) << "serial number of " << run.serial.size()
                        << " characters, longer than a record holds (" << kMaxDeviceKeyChars
                        << "), leave detect thread";
        return leave();
    }
    if (!isSafeSerial(run.serial)) {
        DD_LOG(LOG_ERR) << "serial number with characters adb cannot take, leave detect thread";
        return leave();
    }
    if (!m_pDeviceInfo) {
        // Catalogue types other than "android" get no information entry;
        // there is nothing such a thread could fill in.
        DD_LOG(LOG_ERR) << "no device information entry, leave detect thread";
        return leave();
    }
    m_pDeviceInfo->pid = static_cast<uint16_t>(run.pid);
    m_pDeviceInfo->vid = static_cast<uint16_t>(run.vid);
    // From here on the host's per-device calls find this thread by the serial.
    m_csSerialNum.set(run.serial);
    DD_LOG(LOG_INFO) << "[DETECT] found device pid:" << run.pid << " vid:" << run.vid;
    DD_LOG(LOG_INFO) << "[DETECT] serial " << run.serial << " on " << m_csHubPath << " port "
                     << m_nHubPort;
    return Next::kContinue;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageDriver(RunContext& run) {
    uint16_t vid = static_cast<uint16_t>(run.vid);
    uint16_t pid = static_cast<uint16_t>(run.pid);
    if (dd::android::WaitDriverInstalled(*this, run.serial, vid, pid, m_csHubPath, m_nHubPort) ==
        0) {
        return leave();
    }
    dd::android::WaitMTPDeviceInstalled(*this, run.serial, vid, pid, m_csHubPath, m_nHubPort);
    DD_LOG(LOG_INFO) << "[DETECT] driver is ready.";
    return exitRequested() ? Next::kExit : Next::kContinue;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageProperties(RunContext& run) {
    while (dd::android::checkKernelInfo(*this, static_cast<uint16_t>(run.vid),
                                        static_cast<uint16_t>(run.pid), run.serial, run.kernel,
                                        run.bootCompleted) == 0) {
        // A phone that went offline or back to its prompt meanwhile is
        // waited for again rather than given up while it is plugged.
        if (!adbStateMayExplainFailure(run)) {
            DD_LOG(LOG_ERR) << "read android kernel failed,leave thread.";
            return leave();
        }
        if (stageAdbWait(run) == Next::kExit) {
            return Next::kExit;
        }
    }
    DD_LOG(LOG_INFO) << "[DETECT] getprop done.";
    return Next::kContinue;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageModelGate(RunContext& run) {
    if (run.pid == kBriselPid && run.kernel.productVersion.find("1403") != std::string::npos) {
        DD_LOG(LOG_ERR) << "Brisel_TD_JB is only supported by Orq Sync.";
        return leave();
    }
    return Next::kContinue;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageBoot(RunContext& run) {
    if (run.bootCompleted == 0 && run.kernel.sdk >= 10) {
        if (dd::android::WaitSystemLaunchCompleted(
                *this, run.serial, static_cast<uint16_t>(run.vid), static_cast<uint16_t>(run.pid),
                dd::android::kBootWaitLimitMs) == -1) {
            DD_LOG(LOG_ERR) << "sys boot complete timeout";
        }
    }
    DD_LOG(LOG_INFO) << "[DETECT] device is boot completed.";
    return presenceAndExitCheck();
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageSyncTool(RunContext& run) {
    if (hasSyncTool(run)) {
        bool started = false;
        for (int attempt = 0; attempt < kSyncToolAttempts && !started; ++attempt) {
            std::string output;
            started = dd::android::Start7890Service(run.serial, output) == 1;
            if (!started && !pause(std::chrono::milliseconds(200))) {
                return Next::kExit;
            }
        }
        if (!started) {
            DD_LOG(LOG_ERR) << "Start7890Service failed,leave thread.";
            return leave();
        }
    }
    m_pDeviceInfo->serverIp = "127.0.0.1";
    return Next::kContinue;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageWait7890(RunContext& run) {
    // No time limit: a sync tool that never listens keeps the phone waiting
    // here until it is unplugged or the thread is told to leave. A tool that
    // starts is seen within 100 ms for the first 5 s; after that the checks
    // (each one an adb shell on the phone) thin out to one every 2 s and the
    // log line to one a minute, so a phone left in this state does not keep
    // adb and the log busy ten times a second for as long as it stays
    // plugged. An unplug still cuts every pause short.
    constexpr int kQuickChecks = 50;
    constexpr int kChecksPerLogLine = 30;
    bool listening = false;
    for (int check = 0; !exitRequested(); ++check) {
        if (dd::android::Check7890Listening(run.serial) == 1) {
            listening = true;
            break;
        }
        if (check % kChecksPerLogLine == 0) {
            DD_LOG(LOG_INFO) << "wait 7890";
        }
        if (presenceAndExitCheck() == Next::kExit) {
            break;
        }
        pause(std::chrono::milliseconds(check < kQuickChecks ? 100 : 2000));
    }
    if (!listening) {
        DD_LOG(LOG_ERR) << "device is unplug.<<endl";
        return Next::kExit;
    }
    DD_LOG(LOG_INFO) << "[DETECT] TRV mode is ready.";
    return Next::kContinue;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageDiscovered(RunContext& run) {
    // The serial DEVICE_DISCOVERED carries: a REMOVE_DEVICE sent before the
    // phone's own serial is known carries it too.
    m_pDeviceInfo->adbSerial = run.serial;
    DeviceRecord* record =
        BuildTemporaryRecord(run.serial, run.kernel.model, static_cast<uint16_t>(run.vid),
                             static_cast<uint16_t>(run.pid));
    if (record != nullptr && deviceHost().deviceCB.load() != nullptr &&
        deviceHost().m_bStopped.load() == 0) {
        dumpDeviceRecord(record);
        if (deviceHost().notifyDeviceChange(DEVICE_DISCOVERED, record)) {
            DD_LOG(LOG_INFO) << "[DETECT] DEVICE_DISCOVERED device notify";
            m_pDeviceInfo->notified.store(1);
        }
    } else {
        DD_LOG(LOG_ERR) << "theApp.deviceCB is nil";
    }
    freeDeviceRecord(record);  // the host copies what it needs during the call
    DD_LOG(LOG_INFO) << "sdk =" << run.kernel.sdk << " kernel =" << run.kernel.androidVersion
                     << " model =" << run.kernel.model;
    if (presenceAndExitCheck() == Next::kExit) {
        return Next::kExit;
    }
    AndroidDeviceInfo& entry = *m_pDeviceInfo;
    entry.sdk = static_cast<uint32_t>(run.kernel.sdk);
    entry.kernel = run.kernel.androidVersion;
    entry.brand = run.kernel.brand;
    entry.model = run.kernel.model;
    entry.propModel = run.kernel.model;
    entry.adbSerial = run.serial;
    return exitRequested() ? Next::kExit : Next::kContinue;
}

void CUsbDeviceThread_Android::stageExit(RunContext&) {
    m_sockCmd.close();
    // The sync link borrows this object's fields: it ends before the thread.
    m_syncServer->requestStop();
    m_syncServer->join();
    if (m_pDeviceInfo) {
        if (m_pDeviceInfo->notified.exchange(0) == 1) {
            NotifyRemoveDevice(m_pDeviceInfo.get());
        }
        deviceHost().RemoveDeviceInfo(m_pDeviceInfo->adbSerial, m_pDeviceInfo.get());
        // An entry that never got its key is not found by the line above;
        // take this one out by identity so that entries do not pile up.
        deviceHost().RemoveDeviceInfoEntry(m_pDeviceInfo.get());
    }
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_Android::InitInstance() --";
}

int CUsbDeviceThread_Android::GetUsbNodeInfo(const std::string& hubPath, int port, int* vid,
                                             int* pid, std::string* driverKey,
                                             std::string* serial) {
    if (hubPath.empty() || port < 1 || vid == nullptr || pid == nullptr) {
        return err::kInvalidParameter;
    }
    dd::platform::UsbSysfs tree = moduleUsbTree();
    if (int ret = getHubPortInfo(tree, hubPath, port, vid, pid, driverKey, nullptr);
        ret != err::kOk) {
        return ret;
    }
    std::string text;
    if (int ret = getStringDescriptor(tree, hubPath, port, text); ret != err::kOk) {
        return ret;
    }
    if (serial != nullptr) {
        *serial = std::move(text);
    }
    return err::kOk;
}

int CUsbDeviceThread_Android::Disconnect(bool shutdown) {
    if (shutdown) {
        return ShutDownForHost();
    }
    m_bUserDisconnect.store(1);
    int32_t running = kStateRunning;
    m_nState.compare_exchange_strong(running, kStateUserDisconnected);
    m_syncServer->disable();  // sets m_lSyncServerStopped; the link never comes back
    {
        // The host now knows the phone left: clearing the notified flag keeps
        // the thread's exit from withdrawing it a second time when the phone
        // is unplugged.
        std::lock_guard<std::recursive_mutex> lock(deviceHost().m_recordLock);
        NotifyRemoveDevice(m_pDeviceInfo.get());
        if (m_pDeviceInfo) {
            m_pDeviceInfo->notified.store(0);
        }
    }
    GiveBackConnectCount();
    return 1;
}
