// Stages 10 to 14 of the Android phone's thread: the companion service's
// port, the information read with its version check and install, the
// pairing marker, and the forwards of the two links.
#include "android/device_controller_bridge.h"
#include "android/port_forward.h"
#include "android/service_marker_files.h"
#include "android/service_provisioning.h"
#include "android/usb_device_thread_android.h"
#include "device/device_host.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/service_requests.h"
#include "log/log_stream.h"

namespace {

constexpr uint16_t kServicePort = 8182;
constexpr uint16_t kCommandPort = 7890;
constexpr uint16_t kSyncPort = 7990;
constexpr int kInfoBudget = 50;
constexpr int kAbnormalStorageCost = 10;

// Storage states in which the phone's information can be trusted.
bool normalStorageState(const std::string& state) {
    return state == "shared" || state == "mounted" || state == "removed" ||
           state == "bad_removal" || state.empty();
}

}  // namespace

uint16_t CUsbDeviceThread_Android::forward(const RunContext& run, uint16_t current,
                                           uint16_t remote) {
    return dd::android::forwardLocalPort(run.serial, current, remote);
}

void CUsbDeviceThread_Android::forwardAll(const RunContext& run) {
    m_nHttpLocalPort = forward(run, m_nHttpLocalPort, kServicePort);
    m_nCmdLocalPort = forward(run, m_nCmdLocalPort, kCommandPort);
    m_nSyncLocalPort = forward(run, m_nSyncLocalPort, kSyncPort);
}

int CUsbDeviceThread_Android::readInformation(const RunContext& run) {
    return m_pDeviceInfo->QueryDeviceInfo("127.0.0.1", m_nHttpLocalPort, m_nHttpLocalPort,
                                          run.serial, &m_lExit);
}

int CUsbDeviceThread_Android::informationLoop(const RunContext& run) {
    int result = 0;
    for (int budget = kInfoBudget; budget > 0;) {
        DD_LOG(LOG_INFO) << "[DETECT] doinfo";
        result = readInformation(run);
        if (result == 1) {
            const AndroidDeviceInfo& entry = *m_pDeviceInfo;
            if (normalStorageState(entry.emmc.state) && normalStorageState(entry.sdcard.state)) {
                DD_LOG(LOG_INFO) << "Storage status is normal.";
                break;
            }
            DD_LOG(LOG_INFO) << "EMMC State is" << entry.emmc.state << ";  SDCARD state is"
                             << entry.sdcard.state;
            DD_LOG(LOG_INFO) << "Storage status is abnormal, Retry...";
            pause(std::chrono::milliseconds(1000));
            budget -= kAbnormalStorageCost;
        } else {
            pause(std::chrono::milliseconds(200));
            budget -= 1;
        }
        if (presenceAndExitCheck() == Next::kExit) {
            break;
        }
    }
    return result;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::takePhoneSerial() {
    std::string serial = m_pDeviceInfo->serialNumber();
    if (serial.empty()) {
        m_csSerialNum.set(serial);
        DD_LOG(LOG_ERR) << "IMEI is null,unplug.";
        return leave();
    }
    bool claimed = claimKeyWaiting(serial, [&] { return presenceAndExitCheck() != Next::kExit; });
    return claimed ? Next::kContinue : Next::kExit;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageServicePort(RunContext& run) {
    std::string output;
    dd::android::StartHttpdService(run.serial, output, run.kernel.androidVersion);
    if (output.find("Not found") != std::string::npos) {
        run.serviceMissing = true;  // stage 12 installs it
        return devicePresent() ? Next::kContinue : Next::kExit;
    }
    // The adb server picks the local port as it binds it, so no other phone
    // can be handed the same one; a forward it refuses ends the thread.
    m_nHttpLocalPort = forward(run, 0, kServicePort);
    if (m_nHttpLocalPort == 0) {
        return leave();
    }
    return devicePresent() ? Next::kContinue : Next::kExit;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageInformation(RunContext& run) {
    if (run.serviceMissing) {
        return Next::kContinue;
    }
    int result = informationLoop(run);
    if (presenceAndExitCheck() == Next::kExit) {
        return Next::kExit;
    }
    DD_LOG(LOG_INFO) << "[DETECT] doinfo return" << result;
    if (result != 1) {
        return Next::kContinue;  // stage 12 installs the service and tries again
    }
    run.infoRead = true;
    if (takePhoneSerial() == Next::kExit) {
        return Next::kExit;
    }
    AndroidDeviceInfo& entry = *m_pDeviceInfo;
    int version = dd::android::CheckApkVersion(entry.versionCode, run.kernel.androidVersion,
                                               static_cast<uint32_t>(run.kernel.sdk));
    if (presenceAndExitCheck() == Next::kExit) {
        return Next::kExit;
    }
    if (version == -1) {
        DD_LOG(LOG_ERR) << "[DETECT] check version failed,exit.";
        MarkLeaving();  // the check of the pairing stage ends the thread
    } else if (version == 0) {
        DD_LOG(LOG_INFO) << "[DETECT] version match.";
    } else {
        DD_LOG(LOG_ERR) << "[DETECT] version need update";
        if (dd::android::checkAPKInfo(*this, static_cast<uint16_t>(run.vid),
                                      static_cast<uint16_t>(run.pid), run.serial, run.kernel.model,
                                      run.kernel.androidVersion,
                                      static_cast<uint32_t>(run.kernel.sdk)) == 0) {
            DD_LOG(LOG_ERR) << "[DETECT] install apk incorrect.";
        } else {
            DD_LOG(LOG_INFO) << "[DETECT] install apk successed.";
        }
        std::string output;
        dd::android::StartHttpdService(run.serial, output, run.kernel.androidVersion);
        m_nHttpLocalPort = forward(run, m_nHttpLocalPort, kServicePort);
        return presenceAndExitCheck();
    }
    return Next::kContinue;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageInstallRetry(RunContext& run) {
    if (run.infoRead) {
        return Next::kContinue;
    }
    dd::android::WaitSyncFinish(*this, run.serial);
    int installed = dd::android::checkAPKInfo(
        *this, static_cast<uint16_t>(run.vid), static_cast<uint16_t>(run.pid), run.serial,
        run.kernel.model, run.kernel.androidVersion, static_cast<uint32_t>(run.kernel.sdk));
    if (presenceAndExitCheck() == Next::kExit) {
        return Next::kExit;
    }
    if (installed == 0) {
        DD_LOG(LOG_ERR) << "install apk failed.leave thread csSerialNumber" << run.serial;
        return leave();
    }
    DD_LOG(LOG_INFO) << "[DETECT] install apk successed.";
    std::string output;
    dd::android::StartHttpdService(run.serial, output, run.kernel.androidVersion);
    if (output.find("Not found") != std::string::npos) {
        return leave();
    }
    m_nHttpLocalPort = forward(run, m_nHttpLocalPort, kServicePort);
    if (m_nHttpLocalPort == 0) {
        return leave();
    }
    int result = informationLoop(run);
    if (presenceAndExitCheck() == Next::kExit) {
        return Next::kExit;
    }
    if (result != 1) {
        DD_LOG(LOG_ERR) << "refreshInfo ret" << result << " leave thread";
        return leave();
    }
    run.infoRead = true;
    return takePhoneSerial();
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stagePairing(RunContext& run) {
    if (presenceAndExitCheck() == Next::kExit) {
        return Next::kExit;
    }
    if (!run.pairingDone && !m_pDeviceInfo->confPath.empty()) {
        run.pairingDone = true;
        dd::android::ServiceMarkerFiles files(m_nHttpLocalPort, &m_lExit);
        dd::android::checkPairingMarker(
            files, *m_pDeviceInfo, m_csSerialNum.get(),
            {deviceHost().m_csPCIdentity, deviceHost().dataFolder()},
            [](const std::string& serial) { return deviceHost().rememberDevice(serial); });
    }
    return Next::kContinue;
}

CUsbDeviceThread_Android::Next CUsbDeviceThread_Android::stageLinkSetup(RunContext& run) {
    // A failed forward leaves the port 0: the link loop's connect fails and
    // forwards again.
    m_nCmdLocalPort = forward(run, 0, kCommandPort);
    m_nSyncLocalPort = forward(run, 0, kSyncPort);
    if (presenceAndExitCheck() == Next::kExit) {
        return Next::kExit;
    }
    m_pDeviceInfo->autoLaunch = 0;
    DD_LOG(LOG_INFO) << "[DETECT] 7890 7990 start loop";
    return Next::kContinue;
}

void CUsbDeviceThread_Android::TouchConnectMarker() {
    if (!m_pDeviceInfo || m_pDeviceInfo->confPath.empty() || m_nHttpLocalPort == 0) {
        return;
    }
    ServiceEndpoint endpoint("127.0.0.1", m_nHttpLocalPort);
    endpoint.stop = &m_lExit;
    endpoint.GetFileInfo("/filesystem/file" + m_pDeviceInfo->confPath + "/connect.dat", nullptr,
                         nullptr, nullptr);
}
