// CDeviceDetectApp: the module's single application object, theApp. It owns
// every piece of detection state that outlives one phone and carries the
// start-up and shut-down procedures behind the exports.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devicedetect/DeviceDetect.h"
#include "deviceinfo/supported_devices.h"
#include "deviceinfo/xml_helper.h"
#include "platform/instance_lock.h"
#include "platform/paths.h"
#include "usb/usb_detect.h"
#include "wifi/wifi_detect.h"

class AndroidDeviceInfo;
class CUsbDeviceThread;

class CDeviceDetectApp {
  public:
    static constexpr const char* kInstanceGuardName = "315082cd-02e7-4c3d-aaf6-0ca1a6f91321";
    static constexpr int32_t kMaxRunningThreads = 255;
    // The suite maker's own USB vendor id. A device with this vendor id that
    // the catalogue does not list still gets an Android thread (with no
    // library), so a new model of the maker's phones is tried without a
    // catalogue update. The catalogue lists the maker's known phones under
    // the same id.
    static constexpr uint32_t kHomeVendorId = 0x1D45;

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

    // Sends a device-change notification unless no callback is registered or
    // detection is stopped ("theApp.deviceCB is nil"). True when sent.
    bool notifyDeviceChange(int32_t code, DeviceRecord* record);
    // Sends a phone's sync request to the host; false when no callback is set.
    bool notifySyncByDevice(const std::string& device, int32_t action);

    // --- Monitor list (device threads) and information list -------------
    // Lock order: m_infoLock before m_monitorLock; nothing takes m_infoLock
    // while holding m_monitorLock. No device thread is waited for while
    // either is held.

    // Creates the device thread for a supported device on a hub port (the
    // hub scan calls it), suspended, unless one for the same hub path, port,
    // vid and pid is listed already. The catalogue's type decides the class.
    // Returns 0.
    int CreateDeviceMonitorThread(const std::string& hubPath, int port, uint32_t vid, uint32_t pid);
    // Appends a thread created elsewhere (the Wi-Fi bridge's phones); the
    // list thread resumes it like the others.
    void AddDeviceThread(std::shared_ptr<CUsbDeviceThread> thread);
    // Host sync status for the thread whose m_csSerialNum is serial (ignoring
    // case). 1 found (state 0..2 is passed on, others change nothing), 0 not.
    int setSyncStatus(const std::string& serial, int32_t state);
    // Disconnect(false) of every thread whose m_csConnectedSerial is serial.
    // The threads are called outside the list lock, so the REMOVE_DEVICE
    // callback may call back into the module. Returns 1.
    int disconnect(const std::string& serial);
    // The information object of a serial (ignoring case), or a new listed
    // one without a serial (also for an empty serial); null when out of
    // memory. *created tells whether it is new. An object that a live device
    // thread holds is never handed to a second thread: the caller then gets
    // a new one.
    std::shared_ptr<AndroidDeviceInfo> findOrCreateDeviceInfo(const std::string& serial,
                                                              bool* created = nullptr);
    // The information object of this serial of a thread that still serves
    // its phone (not ended, not leaving, not disconnected by the host): a
    // phone already handled, e.g. over Wi-Fi; else null.
    std::shared_ptr<AndroidDeviceInfo> findWirelessDuplicate(const std::string& serial);
    // The thread that holds this information object; else null.
    std::shared_ptr<CUsbDeviceThread> findThreadByInfo(const AndroidDeviceInfo* info);
    // The first thread whose information object has this serial; else null.
    std::shared_ptr<CUsbDeviceThread> findThreadByInfoSerial(const std::string& serial);
    // Takes every information object of key (a leading "ORQT" of Wi-Fi keys
    // dropped) out of the list; threads that hold one keep it alive.
    // Entries that a live device thread holds stay (a phone that claims
    // another phone's serial must not take that phone's entry away), except
    // own, the caller's own entry.
    void RemoveDeviceInfo(const std::string& key, const AndroidDeviceInfo* own = nullptr);
    // Makes serial self's key (m_csSerialNum) unless another device thread
    // that has not ended goes by it already; that thread is returned and
    // self is left as it was. One check and claim under the monitor-list
    // lock, so two phones that report one serial never both take it.
    std::shared_ptr<CUsbDeviceThread> claimSerial(const std::string& serial,
                                                  CUsbDeviceThread* self);
    // Takes exactly this object out of the list (one that never got a key).
    void RemoveDeviceInfoEntry(const AndroidDeviceInfo* entry);

    // For the detector's threads.
    // Wakes every device thread's pause so that its presence check runs now.
    void pokeDeviceThreads();
    // The same for the threads whose port's device one of these removals
    // (sysfs names) can have taken; threads without a port always look.
    void pokeDeviceThreads(const std::vector<std::string>& removedNames);
    // Under the monitor-list lock: takes the ended threads out (giving their
    // running count back), then resumes created ones while fewer than
    // kMaxRunningThreads run. The caller joins and destroys what it gets.
    std::vector<std::shared_ptr<CUsbDeviceThread>> resumeAndTakeEnded();
    // Asks every listed thread to leave, empties the list, then waits for
    // them with no lock held.
    void stopDeviceThreads();

    // Snapshots of the lists, for diagnostics and tests.
    std::vector<std::shared_ptr<CUsbDeviceThread>> deviceThreads() const;
    std::vector<std::shared_ptr<AndroidDeviceInfo>> deviceInfos() const;

    // Re-pairing: writes this PC's pairing marker to the phone of serial
    // through the first listed Android thread of that serial (ignoring
    // case), sets its entry's factoryreset to 0 and remembers the serial in
    // "remembereddevice.ini". 1 when such a thread was found, else 0.
    int rememberDevice(const std::string& serial);

    // "remembereddevice.ini" in the data folder.
    std::string rememberedDeviceFile() const;

    // The suite loader's HTTP port ("orqBRAXLoader.ini" [Detect]
    // "LoaderHttpPort"); 0 when none is configured.
    int32_t loaderHttpPort() const { return m_nLoaderHttpPort; }
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
    // Set by prepareDetect when the module's folders cannot be trusted:
    // detection never starts then, so nothing is written there.
    std::atomic<int32_t> m_bFoldersRefused{0};
    // Set by QX_stopDetect, cleared by QX_startDetect; suppresses NEW_DEVICE,
    // REMOVE_DEVICE and DEVICE_DISCOVERED. Starts set: nothing is sent before
    // the first start.
    std::atomic<int32_t> m_bStopped{1};
    // Device threads that are running (limit kMaxRunningThreads).
    std::atomic<int32_t> m_lConnectCount{0};
    // This PC's identity, taken at preparation; read-only afterwards.
    std::string m_csPCIdentity;
    // Held while a thread removes its record and sends REMOVE_DEVICE.
    // Recursive: a host callback that calls QX_DisconnectDevice while its
    // NEW_DEVICE is delivered re-enters on the same thread.
    std::recursive_mutex m_recordLock;
    // Serials (ASCII upper case) announced with NEW_DEVICE and not yet
    // removed, with the information object holding the record: one serial is
    // announced once however many objects carry it. Guarded by m_recordLock;
    // a member so that it outlives the device threads at unload.
    std::map<std::string, const AndroidDeviceInfo*> m_announcedSerials;
    // Long-lived document of the detected-device store.
    std::unique_ptr<CXmlHelper> m_pDetectedXml;
    // The USB arrival detector: watch thread and list thread.
    CUsbDetect m_usbDetect;
    // The bridge to the Wi-Fi finder library.
    WifiDetect m_wifiDetect;

  private:
    dd::platform::RuntimePaths m_paths;
    int32_t m_nLoaderHttpPort = 0;  // set by readLoaderConfig, read-only afterwards
    CSupportedDevices m_supported;
    dd::platform::InstanceLock m_hInstanceMutex;
    bool m_exited = false;

    // Under m_monitorLock: whether a listed thread that has not ended holds
    // info (other than except); with leavingCounts false a thread that was
    // asked to leave does not count.
    bool heldByLiveThreadLocked(const AndroidDeviceInfo* info, const AndroidDeviceInfo* except,
                                bool leavingCounts) const;
    // Takes the single-instance lock in the lock folder; a planted file
    // there (a link, another user's file) moves it to this user's private
    // folder. 0 go on (also when no lock could be had), 1 another instance.
    int acquireInstanceGuard();

    mutable std::mutex m_monitorLock;  // the monitor-list lock
    std::vector<std::shared_ptr<CUsbDeviceThread>> m_arrayDeviceMonitor;
    mutable std::mutex m_infoLock;  // the info-list lock
    std::vector<std::shared_ptr<AndroidDeviceInfo>> m_arrayDeviceInfo;
};

extern CDeviceDetectApp theApp;
