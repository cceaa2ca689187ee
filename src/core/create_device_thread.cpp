// CDeviceDetectApp::CreateDeviceMonitorThread: the hub scan's supported
// device becomes the device thread of its family, as the catalogue says.
#include "android/usb_device_thread_android.h"
#include "base/text_codec.h"
#include "brew/usb_device_thread_bmp.h"
#include "core/device_detect_app.h"
#include "device/hub_queries.h"
#include "deviceinfo/android_device_info.h"
#include "log/log_stream.h"

namespace {

void logCreate(const std::string& hubPath, int port, uint32_t vid, uint32_t pid, const char* end) {
    DD_LOG(LOG_DEBUG) << "CDeviceDetectApp::CreateDeviceMonitorThread(" << hubPath << "," << port
                      << "," << vid << "," << pid << end;
}

}  // namespace

int CDeviceDetectApp::CreateDeviceMonitorThread(const std::string& hubPath, int port, uint32_t vid,
                                                uint32_t pid) {
    logCreate(hubPath, port, vid, pid, ") ++");
    bool firstSighting = false;
    bool waiting = false;  // listed but not started yet
    if (findListedAt(hubPath, port, vid, pid, &firstSighting, &waiting)) {
        // Every scan sees every listed phone again: say so once per thread.
        DD_LOG(firstSighting ? LOG_WAR : LOG_DEBUG) << "detect thread is runing..";
        if (waiting) {
            deviceListChanged();  // a thread that could not start yet: try again
        }
        logCreate(hubPath, port, vid, pid, ") --");
        return 0;
    }

    DD_LOG(LOG_DEBUG) << "start build detect thread";
    CXmlHelper catalogue;
    CXmlNode node;
    bool loadFailed = false;
    bool matched =
        CSupportedDevices::findDeviceNode(catalogueFile(), vid, pid, catalogue, node, &loadFailed);
    std::shared_ptr<CUsbDeviceThread> thread;
    bool createdInfo = false;
    // An Android phone: read its serial from the hub, skip it when the same
    // phone is already served (over Wi-Fi), else give it its information entry.
    auto makeAndroid = [&](const std::string& dllPath) {
        int hubVid = static_cast<int>(vid);
        int hubPid = static_cast<int>(pid);
        std::string serial;
        getHubPortInfo(hubPath, port, &hubVid, &hubPid, nullptr, &serial);
        std::shared_ptr<AndroidDeviceInfo> duplicate = findWirelessDuplicate(serial);
        // Only a phone served over Wi-Fi makes this one stand back: another USB
        // phone that merely reports this serial must not keep the real one
        // from being served (it waits for the serial instead).
        std::shared_ptr<CUsbDeviceThread> holder =
            duplicate ? findThreadByInfo(duplicate.get()) : nullptr;
        if (duplicate && holder && holder->m_csHubPath.empty() && duplicate->pid == hubPid &&
            duplicate->vid == hubVid) {
            DD_LOG(LOG_DEBUG) << "Wireless connection already exists! exit.";
            return;
        }
        std::shared_ptr<AndroidDeviceInfo> info = findOrCreateDeviceInfo(serial, &createdInfo);
        if (info) {
            thread = std::make_shared<CUsbDeviceThread_Android>(info, hubPath, port, dllPath,
                                                                hubVid, hubPid);
            DD_LOG(LOG_DEBUG) << "build android detect thread finish";
        }
    };
    if (loadFailed) {
        // findDeviceNode logged "not find " and the path.
    } else if (matched) {
        std::string type = CSupportedDevices::getAttribute(node, "type");
        std::string dll = CSupportedDevices::getAttribute(node, "dll");
        std::string dllPath =
            dll.empty() ? std::string() : dd::platform::joinPath(moduleFolder(), dll);
        if (type.empty() || dd::equalsIgnoreCase(type, "android")) {
            makeAndroid(dllPath);
        } else if (dd::equalsIgnoreCase(type, "bmp")) {
            thread = std::make_shared<CUsbDeviceThread_BMP>(
                hubPath, port, dllPath, static_cast<int>(vid), static_cast<int>(pid));
            DD_LOG(LOG_DEBUG) << "build brew detect thread finish";
        } else if (!dd::equalsIgnoreCase(type, "wm")) {
            thread = std::make_shared<CUsbDeviceThread_Android>(
                nullptr, hubPath, port, dllPath, static_cast<int>(vid), static_cast<int>(pid));
            DD_LOG(LOG_DEBUG) << "build android detect thread finish";
        }
    } else if (vid == kHomeVendorId) {
        makeAndroid(std::string());
    }

    if (thread && !listThreadAt(thread, hubPath, port, vid, pid) && createdInfo) {
        // Another caller listed this port meanwhile.
        RemoveDeviceInfoEntry(thread->m_pDeviceInfo.get());
    }
    logCreate(hubPath, port, vid, pid, ") --");
    return 0;
}
