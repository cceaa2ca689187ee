// CDeviceHost: what a device thread and the detectors need of the
// application: the monitor list (device threads) and the information list
// with their operations, the running count, the paths and loader settings,
// the catalogue, and the creation of a device thread for a hub port. The
// application object (theApp) derives from it; deviceHost() hands it out.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "deviceinfo/record_host.h"
#include "deviceinfo/supported_devices.h"
#include "platform/paths.h"

class AndroidDeviceInfo;
class CUsbDeviceThread;

class CDeviceHost : public CRecordHost {
  public:
    static constexpr int32_t kMaxRunningThreads = 255;
    // The suite maker's own USB vendor id. A device with this vendor id that
    // the catalogue does not list still gets an Android thread (with no
    // library), so a new model of the maker's phones is tried without a
    // catalogue update. The catalogue lists the maker's known phones under
    // the same id.
    static constexpr uint32_t kHomeVendorId = 0x1D45;

    // --- What the application implements ---------------------------------

    // Creates the device thread for a supported device on a hub port (the
    // hub scan calls it), suspended, unless one for the same hub path, port,
    // vid and pid is listed already. The catalogue's type decides the class.
    // Returns 0.
    virtual int CreateDeviceMonitorThread(const std::string& hubPath, int port, uint32_t vid,
                                          uint32_t pid) = 0;
    // The monitor list changed, or places were given back: the list thread
    // runs a pass (resumes waiting threads, reaps ended ones).
    virtual void deviceListChanged() = 0;
    // Re-pairing: writes this PC's pairing marker to the phone of serial
    // through the first listed Android thread of that serial (ignoring
    // case), sets its entry's factoryreset to 0 and remembers the serial in
    // "remembereddevice.ini". 1 when such a thread was found, else 0.
    virtual int rememberDevice(const std::string& serial) = 0;
    // This PC's identity in the short form (no disk piece), read now.
    virtual std::string shortPcIdentity() const = 0;

    // --- Paths and settings -------------------------------------------------

    // The suite loader's HTTP port ("orqBRAXLoader.ini" [Detect]
    // "LoaderHttpPort"); 0 when none is configured.
    int32_t loaderHttpPort() const { return m_nLoaderHttpPort; }
    const dd::platform::RuntimePaths& paths() const { return m_paths; }
    const std::string& moduleFolder() const { return m_paths.moduleDir; }
    const std::string& dataFolder() const { return m_paths.dataDir; }
    const CSupportedDevices& supportedDevices() const { return m_supported; }
    // "device.xml" in the module folder.
    std::string catalogueFile() const;
    // "remembereddevice.ini" in the data folder.
    std::string rememberedDeviceFile() const;

    // Device threads that are running (limit kMaxRunningThreads).
    std::atomic<int32_t> m_lConnectCount{0};

    // --- Monitor list (device threads) and information list -------------
    // Lock order: m_infoLock before m_monitorLock; nothing takes m_infoLock
    // while holding m_monitorLock. No device thread is waited for while
    // either is held.

    // Under the monitor-list lock: whether a thread for this hub path, port,
    // vid and pid is listed. If so, *firstSighting tells whether this is the
    // first scan that saw it and *waiting whether it has not started yet.
    bool findListedAt(const std::string& hubPath, int port, uint32_t vid, uint32_t pid,
                      bool* firstSighting, bool* waiting);
    // Lists thread unless one for the same place is listed already (tested
    // again under the lock, so two callers never both add the same port).
    // True when listed; the list thread is told.
    bool listThreadAt(std::shared_ptr<CUsbDeviceThread> thread, const std::string& hubPath,
                      int port, uint32_t vid, uint32_t pid);
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
    // Empties the information list.
    void clearDeviceInfos();

    // Snapshots of the lists, for diagnostics and tests.
    std::vector<std::shared_ptr<CUsbDeviceThread>> deviceThreads() const;
    std::vector<std::shared_ptr<AndroidDeviceInfo>> deviceInfos() const;

  protected:
    CDeviceHost() = default;
    ~CDeviceHost() = default;

    // The first listed thread that pick accepts (called under the
    // monitor-list lock: it takes no list lock); else null.
    template <typename Pick>
    std::shared_ptr<CUsbDeviceThread> findThreadWhere(Pick pick) const {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        for (const std::shared_ptr<CUsbDeviceThread>& thread : m_arrayDeviceMonitor) {
            if (pick(thread)) {
                return thread;
            }
        }
        return nullptr;
    }

    dd::platform::RuntimePaths m_paths;
    int32_t m_nLoaderHttpPort = 0;  // set by the application, read-only afterwards
    CSupportedDevices m_supported;

  private:
    // Under m_monitorLock: whether a listed thread that has not ended holds
    // info (other than except); with leavingCounts false a thread that was
    // asked to leave does not count.
    bool heldByLiveThreadLocked(const AndroidDeviceInfo* info, const AndroidDeviceInfo* except,
                                bool leavingCounts) const;

    mutable std::mutex m_monitorLock;  // the monitor-list lock
    std::vector<std::shared_ptr<CUsbDeviceThread>> m_arrayDeviceMonitor;
    mutable std::mutex m_infoLock;  // the info-list lock
    std::vector<std::shared_ptr<AndroidDeviceInfo>> m_arrayDeviceInfo;
};

// The application's device host (theApp).
CDeviceHost& deviceHost();
