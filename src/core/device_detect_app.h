// CDeviceDetectApp: the module's single application object, theApp. It owns
// every piece of detection state that outlives one phone and carries the
// start-up and shut-down procedures behind the exports.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/supported_devices.h"
#include "devicedetect/DeviceDetect.h"
#include "deviceinfo/xml_helper.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"

class CDeviceDetectApp {
public:
    static constexpr const char* kInstanceGuardName = "315082cd-02e7-4c3d-aaf6-0ca1a6f91321";
    static constexpr int32_t kMaxRunningThreads = 255;

    CDeviceDetectApp();
    ~CDeviceDetectApp();  // the library's unload: ExitInstance
    CDeviceDetectApp(const CDeviceDetectApp&) = delete;
    CDeviceDetectApp& operator=(const CDeviceDetectApp&) = delete;

    // Reads "orqBRAXLoader.ini" [Detect] LogLevel and sets up the log stream.
    void readLoaderConfig();
    // 0 ready; 1 another instance holds the machine-wide guard.
    int prepareDetect();
    // Starts the detector threads and the first scan; returns 1.
    int startDetect();
    // Signals the detector threads to leave; waits for nothing.
    void stopDetect();
    // Library unload: stop, then wait until every module thread has ended so
    // that no thread runs code of an unloaded library.
    void ExitInstance();

    // Sends a device-change notification unless no callback is registered or
    // detection is stopped ("theApp.deviceCB is nil"). True when sent.
    bool notifyDeviceChange(int32_t code, DeviceRecord* record);
    // Sends a phone's sync request to the host; false when no callback is set.
    bool notifySyncByDevice(const std::string& device, int32_t action);

    // Host calls routed to the device threads (monitor list).
    int setSyncStatus(const std::string& serial, int32_t state);
    int disconnect(const std::string& serial);

    const dd::platform::RuntimePaths& paths() const { return m_paths; }
    const std::string& moduleFolder() const { return m_paths.moduleDir; }
    const std::string& dataFolder() const { return m_paths.dataDir; }
    const CSupportedDevices& supportedDevices() const { return m_supported; }
    std::string catalogueFile() const;

    // Host callbacks; each notification reads the pointer once.
    std::atomic<DeviceChangeCallBack> deviceCB{nullptr};
    std::atomic<SyncByDevCallBack> syncCB{nullptr};

    // Set once by QX_InitDetect, never cleared.
    std::atomic<int32_t> m_bInitialised{0};
    // Set by QX_stopDetect, cleared by QX_startDetect; suppresses NEW_DEVICE,
    // REMOVE_DEVICE and DEVICE_DISCOVERED. Starts set: nothing is sent before
    // the first start.
    std::atomic<int32_t> m_bStopped{1};
    // Device threads that are running (limit kMaxRunningThreads).
    std::atomic<int32_t> m_lConnectCount{0};
    // This PC's identity, taken at preparation; read-only afterwards.
    std::string m_csPCIdentity;
    // Held while a thread removes its record and sends REMOVE_DEVICE.
    std::mutex m_recordLock;
    // Long-lived document of the detected-device store.
    std::unique_ptr<CXmlHelper> m_pDetectedXml;

private:
    dd::platform::RuntimePaths m_paths;
    CSupportedDevices m_supported;
    dd::platform::InstanceLock m_hInstanceMutex;
    bool m_exited = false;
};

extern CDeviceDetectApp theApp;
