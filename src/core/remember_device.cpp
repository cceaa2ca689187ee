// CDeviceDetectApp::rememberDevice: re-pairing a phone that carried another
// PC's marker. It lives beside the marker check rather than with the lists,
// whose lock it only borrows to find the phone's thread.
#include "android/pairing_marker.h"
#include "android/service_marker_files.h"
#include "android/usb_device_thread_android.h"
#include "core/device_detect_app.h"
#include "deviceinfo/android_device_info.h"

int CDeviceDetectApp::rememberDevice(const std::string& serial) {
    dd::android::PairingTargetFinder findTarget =
        [this](const std::string& wanted) -> std::optional<dd::android::PairingTarget> {
        // Only the search runs under the list lock; the file work runs after.
        std::lock_guard<std::mutex> lock(m_monitorLock);
        for (const std::shared_ptr<CUsbDeviceThread>& thread : m_arrayDeviceMonitor) {
            if (!thread->m_csSerialNum.matches(wanted)) {
                continue;
            }
            auto android = std::dynamic_pointer_cast<CUsbDeviceThread_Android>(thread);
            if (!android || !android->m_pDeviceInfo) {
                continue;  // only a USB Android thread has a forwarded service port
            }
            return dd::android::PairingTarget{
                android->m_pDeviceInfo, android->m_pDeviceInfo->confPath, android->m_nHttpLocalPort,
                &android->m_lExit, android};
        }
        return std::nullopt;
    };
    return dd::android::rememberDeviceWith(serial, findTarget, dd::android::makeServiceMarkerFiles,
                                           {m_csPCIdentity, dataFolder()});
}
