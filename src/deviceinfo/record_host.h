// CRecordHost: what the record store needs of the application: the host's
// callbacks, whether detection runs, this PC's identity and the lock and the
// list of the announced serials. The application object implements it;
// recordHost() (defined by the application) hands it out.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "devicedetect/DeviceDetect.h"

class AndroidDeviceInfo;

class CRecordHost {
  public:
    CRecordHost(const CRecordHost&) = delete;
    CRecordHost& operator=(const CRecordHost&) = delete;

    // Sends a device-change notification unless no callback is registered or
    // detection is stopped ("theApp.deviceCB is nil"). True when sent.
    bool notifyDeviceChange(int32_t code, DeviceRecord* record);
    // Sends a phone's sync request to the host; false when no callback is set.
    bool notifySyncByDevice(const std::string& device, int32_t action);

    // Host callbacks; each notification reads the pointer once.
    std::atomic<DeviceChangeCallBack> deviceCB{nullptr};
    std::atomic<SyncByDevCallBack> syncCB{nullptr};

    // Set by QX_stopDetect, cleared by QX_startDetect; suppresses NEW_DEVICE,
    // REMOVE_DEVICE and DEVICE_DISCOVERED. Starts set: nothing is sent before
    // the first start.
    std::atomic<int32_t> m_bStopped{1};
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

  protected:
    CRecordHost() = default;
    ~CRecordHost() = default;
};

// The application's record host (theApp).
CRecordHost& recordHost();
