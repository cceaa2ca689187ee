// CDeviceDetectApp::rememberDevice: the application's part of re-pairing a
// phone that carried another PC's marker. It finds the phone's USB Android
// thread among the listed ones; the marker work is the Android family's.
#include "android/pairing_marker.h"
#include "android/service_marker_files.h"
#include "android/usb_device_thread_android.h"
#include "core/device_detect_app.h"
#include "deviceinfo/android_device_info.h"

int CDeviceDetectApp::rememberDevice(const std::string& serial) {
    dd::android::PairingTargetFinder findTarget =
        [this](const std::string& wanted) -> std::optional<dd::android::PairingTarget> {
        // Only the search runs under the list lock; the file work runs after.
        std::shared_ptr<CUsbDeviceThread> found =
            findThreadWhere([&](const std::shared_ptr<CUsbDeviceThread>& thread) {
                // Only a USB Android thread has a forwarded service port.
                auto android = std::dynamic_pointer_cast<CUsbDeviceThread_Android>(thread);
                return thread->m_csSerialNum.matches(wanted) && android && android->m_pDeviceInfo;
            });
        if (auto android = std::dynamic_pointer_cast<CUsbDeviceThread_Android>(found)) {
            return dd::android::PairingTarget{
                android->m_pDeviceInfo, android->m_pDeviceInfo->confPath, android->m_nHttpLocalPort,
                &android->m_lExit, android};
        }
        return std::nullopt;
    };
    return dd::android::rememberDeviceWith(serial, findTarget, dd::android::makeServiceMarkerFiles,
                                           {m_csPCIdentity, dataFolder()});
}
