#include "android/usb_device_thread_android.h"

#include "core/device_detect_app.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record_store.h"
#include "log/log_stream.h"
#include "usb/hub_queries.h"

namespace err = dd::platform::usb_error;

// The state machine, in order. A stage returns kExit to skip the rest; the
// exit stage always runs.
const CUsbDeviceThread_Android::Stage CUsbDeviceThread_Android::kStages[] = {
    &CUsbDeviceThread_Android::stageStart,
    &CUsbDeviceThread_Android::stageIdentify,
    // Driver, properties, model gate, boot, sync tool, port 7890, discovered,
    // service port, information, install, pairing and link setup go here.
    &CUsbDeviceThread_Android::stageWatchPresence,
};

CUsbDeviceThread_Android::CUsbDeviceThread_Android(std::shared_ptr<AndroidDeviceInfo> deviceInfo,
                                                   std::string hubPath, int hubPort,
                                                   std::string dllName, int vid, int pid)
    : CUsbDeviceThread(std::move(hubPath), hubPort, std::move(dllName), vid, pid,
                       std::move(deviceInfo)) {}

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

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageStart(RunContext&) {
    // State 1 and the running-thread count were set when the thread was
    // resumed, so that the detector never starts more than its limit.
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_Android::InitInstance() ++";
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
    int supported = theApp.supportedDevices().doesDeviceSupport(static_cast<uint32_t>(run.vid),
                                                                static_cast<uint32_t>(run.pid));
    if (ret != 0 || supported != 1 || run.serial.empty()) {
        DD_LOG(LOG_INFO) << "ret =" << ret;
        DD_LOG(LOG_INFO) << "bFod =" << supported;
        DD_LOG(LOG_INFO) << "csSerialNumber =" << run.serial;
        DD_LOG(LOG_ERR) << "device no support.leave detect thread";
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

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageWatchPresence(RunContext&) {
    while (!exitRequested()) {
        if (!devicePresent()) {
            DD_LOG(LOG_ERR) << "device is unplug.leave thread";
            return Next::kExit;
        }
        pause(kPresencePollPeriod);
    }
    DD_LOG(LOG_INFO) << "end loop";
    return Next::kContinue;
}

void CUsbDeviceThread_Android::stageExit(RunContext&) {
    if (m_pDeviceInfo) {
        if (m_pDeviceInfo->notified.exchange(0) == 1) {
            NotifyRemoveDevice(m_pDeviceInfo.get());
        }
        theApp.RemoveDeviceInfo(m_pDeviceInfo->adbSerial);
        // An entry that never got its key is not found by the line above;
        // take this one out by identity so that entries do not pile up.
        theApp.RemoveDeviceInfoEntry(m_pDeviceInfo.get());
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

void CUsbDeviceThread_Android::TouchConnectMarker() {
    // The companion service's "connect.dat" request belongs to the service
    // requests; nothing in the module calls this yet.
}

int CUsbDeviceThread_Android::Disconnect(bool shutdown) {
    m_bUserDisconnect.store(1);
    if (shutdown) {
        m_nState.store(kStateFinished);
        RequestExit();
        Join();
        GiveBackConnectCount();
        return 1;
    }
    int32_t running = kStateRunning;
    m_nState.compare_exchange_strong(running, kStateUserDisconnected);
    m_lSyncServerStopped.exchange(1);
    NotifyRemoveDevice(m_pDeviceInfo.get());
    GiveBackConnectCount();
    return 1;
}
