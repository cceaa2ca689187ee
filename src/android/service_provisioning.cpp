#include "android/service_provisioning.h"

#include <cstdio>
#include <cstdlib>

#include "android/adb_device_tracker.h"
#include "android/device_controller_bridge.h"
#include "base/text_codec.h"
#include "device/device_host.h"
#include "device/hub_queries.h"
#include "device/usb_device_thread.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record.h"
#include "deviceinfo/record_builder.h"
#include "deviceinfo/xml_helper.h"
#include "log/log_stream.h"
#include "log/logged_ini.h"
#include "platform/paths.h"

namespace dd::android {
namespace {

constexpr int kDriverWaitSeconds = 90;
constexpr int kMtpWaitSeconds = 60;
constexpr int kAdbTries = 3;

std::string adbCommand(const char* format, const std::string& serial) {
    char line[512];
    std::snprintf(line, sizeof(line), format, serial.c_str());
    return line;
}

// Runs a command up to three times; after every failed run the adb server is
// restarted, since a wedged server is the usual reason for a failure, but
// only where that cannot hurt (adbRestartAllowed).
int runWithRestarts(const std::string& serial, const std::string& command, std::string& output) {
    int result = 1;
    for (int attempt = 0; attempt < kAdbTries; ++attempt) {
        result = RunAdbCmd(command, output, kAdbTimeLimitMs);
        if (result == 0) {
            break;
        }
        if (adbRestartAllowed(serial)) {
            KillAdbProcess();
        }
    }
    return result;
}

// The shared loop of the two driver waits: state 1 (present, not usable yet)
// counts down; anything else but "not found" means ready.
template <typename Check, typename OnProblem>
int waitDriver(dd::StepContext& step, int seconds, const char* resultLine, const char* timeoutLine,
               Check check, OnProblem onProblem, bool notFoundCountsDown) {
    for (int counter = seconds; counter > 0;) {
        int state = check();
        DD_LOG(LOG_INFO) << resultLine << state;
        if (state != 1 && (state != 2 || !notFoundCountsDown)) {
            return 1;
        }
        --counter;
        if (!step.devicePresent()) {
            DD_LOG(LOG_ERR) << "dev is unplug.";
            return 0;
        }
        if (state == 1 && !onProblem()) {
            return 0;
        }
        if (!step.pause(std::chrono::milliseconds(1000))) {
            DD_LOG(LOG_ERR) << "dev is unplug.";
            return 0;
        }
    }
    DD_LOG(LOG_INFO) << timeoutLine;
    return 0;
}

}  // namespace

bool netstatListens(std::string_view output, std::string_view address) {
    for (size_t pos = 0; pos < output.size();) {
        size_t end = output.find('\n', pos);
        std::string_view line =
            output.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        if (line.find(address) != std::string_view::npos &&
            line.find("LISTEN") != std::string_view::npos) {
            return true;
        }
        pos = end == std::string_view::npos ? output.size() : end + 1;
    }
    return false;
}

std::string GetUsbDeviceInterfaceId(const std::string& serial, uint16_t pid, uint16_t vid,
                                    const std::string& hubPath, int port) {
    DD_LOG(LOG_DEBUG) << "++CUsbDeviceThread_Android::GetUsbDeviceInterfaceId";
    dd::platform::UsbSysfs tree = moduleUsbTree();
    auto isThePhone = [&](const dd::platform::UsbPortDevice& device) {
        std::string instance;
        if (device.vid != vid || device.pid != pid || device.isHub ||
            tree.serialNumber(device.hubPath, device.port, instance) != 0 ||
            !dd::equalsIgnoreCase(instance, serial)) {
            return false;
        }
        DD_LOG(LOG_INFO) << "pid=" << pid << " vid=" << vid << " sn=" << instance;
        return true;
    };
    std::string result;
    dd::platform::UsbPortDevice own;
    if (!hubPath.empty() &&
        tree.portConnection(hubPath, port, own) == dd::platform::usb_error::kOk &&
        isThePhone(own)) {
        result = dd::platform::joinPath(tree.devicesDir(), own.name);
    } else {
        for (const dd::platform::UsbPortDevice& device : tree.listPortDevices()) {
            if (isThePhone(device)) {
                result = dd::platform::joinPath(tree.devicesDir(), device.name);
                break;
            }
        }
    }
    DD_LOG(LOG_DEBUG) << "--CUsbDeviceThread_Android::GetUsbDeviceInterfaceId";
    return result;
}

int WaitDriverInstalled(dd::StepContext& step, const std::string& serial, uint16_t vid,
                        uint16_t pid, const std::string& hubPath, int port) {
    bool notified = false;
    auto notifyOnce = [&] {
        if (notified) {
            return true;
        }
        notified = true;
        if (deviceHost().deviceCB.load() == nullptr) {
            return true;
        }
        DeviceRecord* record = BuildTemporaryRecord(serial, "", vid, pid);
        if (record == nullptr) {
            return false;
        }
        deviceHost().notifyDeviceChange(DRIVER_INSTALLING, record);
        freeDeviceRecord(record);
        return true;
    };
    return waitDriver(
        step, kDriverWaitSeconds,
        "WaitDriverInstalled result = ", "CheckDeviceIsReady timeout[90s]",
        [&] { return CheckDevicePresent(serial, vid, pid, hubPath, port); }, notifyOnce, true);
}

int WaitMTPDeviceInstalled(dd::StepContext& step, const std::string& serial, uint16_t vid,
                           uint16_t pid, const std::string& hubPath, int port) {
    return waitDriver(
        step, kMtpWaitSeconds,
        "WaitMTPDeviceInstalled result = ", "CheckMTPDeviceIsReady timeout[60s]",
        [&] { return CheckMtpDevicePresent(serial, vid, pid, hubPath, port); }, [] { return true; },
        false);
}

int Start7890Service(const std::string& serial, std::string& output) {
    std::string netstat;
    runWithRestarts(serial, adbCommand("-s %s shell netstat -an", serial), netstat);
    if (netstatListens(netstat, "127.0.0.1:7890")) {
        return 1;
    }
    std::string broadcast;
    int result = runWithRestarts(
        serial,
        adbCommand("-s %s shell am broadcast -a com.orq.intent.action.START_SYNCTOOL", serial),
        broadcast);
    output = broadcast;
    // A delivered broadcast prints "Broadcast completed"; anything else (no
    // phone, adb errors) did not reach the sync tool.
    return result == 0 && broadcast.find("Broadcast completed") != std::string::npos ? 1 : 0;
}

int Check7890Listening(const std::string& serial) {
    std::string netstat;
    RunAdbCmd(adbCommand("-s %s shell netstat -an", serial), netstat, kAdbTimeLimitMs);
    return netstatListens(netstat, "7890") ? 1 : 0;
}

void StartHttpdService(const std::string& serial, std::string& output, double androidVersion) {
    std::string netstat;
    RunAdbCmd(adbCommand("-s %s shell netstat -an", serial), netstat, kAdbTimeLimitMs);
    if (netstatListens(netstat, "127.0.0.1:8182")) {
        return;
    }
    // Android 2.2 and older start the service through a broadcast.
    const char* command = androidVersion > 2.2 + 1e-9
                              ? "-s %s shell am startservice -n com.qx.httpd/.QXHttpdSvc"
                              : "-s %s shell am broadcast -a com.qx.httpd.service.START_QXHTTPD";
    std::string started;
    RunAdbCmd(adbCommand(command, serial), started, kAdbTimeLimitMs);
    output = started;
}

int CheckApkVersion(int32_t installedVersion, double androidVersion, uint32_t sdk) {
    (void)androidVersion;
    std::string ini = dd::platform::joinPath(deviceHost().moduleFolder(), "apkConfig.ini");
    std::string value =
        dd::logged::readIniString(ini, "resources", sdk >= 6 ? "sdk6" : "sdk5", "-1", 128);
    if (value == "-1") {
        DD_LOG(LOG_ERR) << "can not get apk text value";
        return -1;
    }
    return installedVersion != std::atoi(value.c_str()) ? 1 : 0;
}

int checkAPKInfo(dd::StepContext& step, uint16_t vid, uint16_t pid, const std::string& serial,
                 const std::string& model, double androidVersion, uint32_t sdk) {
    (void)androidVersion;
    DD_LOG(LOG_DEBUG) << "++checkAPKInfo(" << vid << "," << pid << "," << serial << "," << model
                      << ")";
    int result = 0;
    auto finish = [&] {
        DD_LOG(LOG_DEBUG) << "--checkAPKInfo(" << vid << "," << pid << "," << serial << "," << model
                          << ") ret " << result;
        return result;
    };
    std::string catalogue = deviceHost().catalogueFile();
    CXmlHelper xml;
    if (xml.LoadFromFile(catalogue) != CXmlHelper::kOk) {
        DD_LOG(LOG_ERR) << "LoadFromFile " << catalogue << " failed";
        return finish();
    }
    DD_LOG(LOG_INFO) << "LoadFromFile " << catalogue;
    char xpath[96];
    std::snprintf(xpath, sizeof(xpath), "/orqsupportdevice/device[@vid='%04x']", vid);
    std::vector<CXmlNode> devices, models;
    if (xml.GetNodeList(xpath, devices) != CXmlHelper::kOk || devices.empty()) {
        return finish();
    }
    if (xml.GetNodeList("/orqsupportdevice/device/model", models) != CXmlHelper::kOk ||
        models.empty()) {
        DD_LOG(LOG_ERR) << "get node failed";
        return finish();
    }
    std::string package = dd::platform::joinPath(deviceHost().moduleFolder(),
                                                 sdk > 5 ? "QXHttpd.apk" : "QXHttpd16.apk");
    if (!dd::platform::pathExists(package)) {
        return finish();
    }
    std::string install = "-s " + serial + " install -r \"" + package + "\"";
    std::string output;
    RunAdbCmd(install, output, kAdbTimeLimitMs);
    DD_LOG(LOG_INFO) << "adb result:" << output;
    if (output.find("Success") != std::string::npos) {
        result = 1;
        return finish();
    }
    if (!step.pause(std::chrono::milliseconds(3000))) {
        return finish();
    }
    DD_LOG(LOG_ERR) << "uninstall apk";
    std::string uninstall;
    RunAdbCmd(adbCommand("-s %s uninstall com.qx.httpd", serial), uninstall, kAdbTimeLimitMs);
    if (uninstall.find("Success") == std::string::npos) {
        DD_LOG(LOG_ERR) << "uninstall com.qx.httpd failed";
    }
    DD_LOG(LOG_INFO) << "adb result:" << uninstall;
    output.clear();
    RunAdbCmd(install, output, kAdbTimeLimitMs);
    if (output.find("Success") != std::string::npos) {
        DD_LOG(LOG_INFO) << "adb result:" << output;
        result = 1;
    } else {
        DD_LOG(LOG_ERR) << "install com.qx.httpd.service failed";
    }
    return finish();
}

void WaitSyncFinish(CUsbDeviceThread& self, const std::string& serial) {
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_Android::WaitSyncFinish() ++";
    std::string ownAddress = self.m_pDeviceInfo ? self.m_pDeviceInfo->serverIp : std::string();
    std::shared_ptr<CUsbDeviceThread> other;
    for (const std::shared_ptr<CUsbDeviceThread>& thread : deviceHost().deviceThreads()) {
        if (thread.get() == &self || !thread->m_pDeviceInfo) {
            continue;
        }
        if (dd::equalsIgnoreCase(thread->m_pDeviceInfo->serialNumber(), serial) &&
            !dd::equalsIgnoreCase(thread->m_pDeviceInfo->serverIp, ownAddress)) {
            other = thread;
            break;
        }
    }
    // Wait while the other connection (the same phone over Wi-Fi) may still be
    // synchronising. It also ends when that thread has gone: nobody would be
    // left to wake this one otherwise.
    while (other && !self.exitRequested() && !other->HasEnded()) {
        bool ready = other->m_lSyncStatus.load() == 2;
        if (!self.pause(std::chrono::milliseconds(ready ? 200 : 1000))) {
            break;
        }
    }
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_Android::WaitSyncFinish() --";
}

}  // namespace dd::android
