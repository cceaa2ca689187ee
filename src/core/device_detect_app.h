// CDeviceDetectApp: the module's single application object, theApp. It owns
// every piece of detection state that outlives one phone and carries the
// start-up and shut-down procedures behind the exports.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "device/device_host.h"
#include "deviceinfo/xml_helper.h"
#include "platform/instance_lock.h"
#include "usb/usb_detect.h"
#include "wifi/wifi_detect.h"

class CDeviceDetectApp : public CDeviceHost {
  public:
    static constexpr const char* kInstanceGuardName = "315082cd-02e7-4c3d-aaf6-0ca1a6f91321";
    CDeviceDetectApp();
    ~CDeviceDetectApp();  // the library's unload: ExitInstance
    CDeviceDetectApp(const CDeviceDetectApp&) = delete;
    CDeviceDetectApp& operator=(const CDeviceDetectApp&) = delete;

    // Reads "orqBRAXLoader.ini" [Detect] LogLevel and LoaderHttpPort (each
    // key from the user's own file in the config folder when it sets it,
    // else from the module folder's) and sets up the log stream.
    void readLoaderConfig();
    // 0 ready; 1 another instance holds the machine-wide guard, or the
    // folder the files fall back to without a home cannot be trusted
    // (m_bFoldersRefused is then set).
    int prepareDetect();
    // Starts the detector threads and the first scan; returns 1.
    int startDetect();
    // Signals the detector threads to leave; waits for nothing.
    void stopDetect();
    // Library unload: stop, then wait until every module thread has ended so
    // that no thread runs code of an unloaded library.
    void ExitInstance();
    // After stopDetect: waits until the detector and device threads have
    // ended and empties both lists.
    void waitForDetectionEnd();

    // Creates the device thread for a supported device on a hub port (the
    // hub scan calls it), suspended, unless one for the same hub path, port,
    // vid and pid is listed already. The catalogue's type decides the class.
    // Returns 0.
    int CreateDeviceMonitorThread(const std::string& hubPath, int port, uint32_t vid,
                                  uint32_t pid) override;
    // Wakes the USB detector's list thread.
    void deviceListChanged() override;
    int rememberDevice(const std::string& serial) override;
    std::string shortPcIdentity() const override;

    // Set once by QX_InitDetect, never cleared.
    std::atomic<int32_t> m_bInitialised{0};
    // Set by prepareDetect when the module's folders cannot be trusted:
    // detection never starts then, so nothing is written there.
    std::atomic<int32_t> m_bFoldersRefused{0};
    // Long-lived document of the detected-device store.
    std::unique_ptr<CXmlHelper> m_pDetectedXml;
    // The USB arrival detector: watch thread and list thread.
    CUsbDetect m_usbDetect;
    // The bridge to the Wi-Fi finder library.
    WifiDetect m_wifiDetect;

  private:
    dd::platform::InstanceLock m_hInstanceMutex;
    bool m_exited = false;

    // Takes the single-instance lock in the lock folder; a planted file
    // there (a link, another user's file) moves it to this user's private
    // folder. 0 go on (also when no lock could be had), 1 another instance.
    int acquireInstanceGuard();
};

extern CDeviceDetectApp theApp;
