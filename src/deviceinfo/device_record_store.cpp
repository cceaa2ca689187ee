#include "deviceinfo/device_record_store.h"

#include <map>
#include <mutex>
#include <string>

#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record.h"
#include "deviceinfo/record_builder.h"
#include "deviceinfo/record_dump.h"
#include "deviceinfo/record_host.h"
#include "log/log_stream.h"

namespace {

// Dumps and sends a notification unless the host cannot hear it now.
void send(int32_t code, DeviceRecord* record, const char* sentLine) {
    if (recordHost().deviceCB.load() == nullptr || recordHost().m_bStopped.load() != 0) {
        DD_LOG(LOG_DEBUG) << "theApp.deviceCB is nil";
        return;
    }
    dumpDeviceRecord(record);
    if (recordHost().notifyDeviceChange(code, record)) {
        DD_LOG(LOG_DEBUG) << sentLine;
    }
}

void sendRemove(DeviceRecord* record) {
    send(REMOVE_DEVICE, record, "REMOVE_DEVICE device notify");
}

// A phone is one serial to the host: two objects that carry the same serial
// (a second thread that read this phone's service) must not both announce
// it, or the host would sync one phone twice or the wrong one.
std::map<std::string, const AndroidDeviceInfo*>& announced() {
    return recordHost().m_announcedSerials;
}

std::string serialKey(const std::string& serial) {
    std::string key = serial;
    for (char& c : key) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return key;
}

void forgetLocked(const AndroidDeviceInfo* info) {
    std::erase_if(announced(), [&](const auto& entry) { return entry.second == info; });
}

}  // namespace

void ForgetAnnouncedDevice(const AndroidDeviceInfo* info) {
    std::lock_guard<std::recursive_mutex> lock(recordHost().m_recordLock);
    forgetLocked(info);
}

int NotifyNewDevice(AndroidDeviceInfo* info) {
    if (info == nullptr) {
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(recordHost().m_recordLock);
    if (info->record != nullptr) {
        return 0;  // announced once until its REMOVE_DEVICE
    }
    std::string key = serialKey(info->serialNumber());
    if (auto it = announced().find(key); !key.empty() && it != announced().end()) {
        DD_LOG(LOG_ERR) << "serial " << key.substr(0, 64)
                        << " is announced already by another entry; not announced again";
        return 0;
    }
    DeviceRecord* record = BuildDeviceRecord(*info, recordHost().m_csPCIdentity);
    if (record == nullptr) {
        DD_LOG(LOG_DEBUG) << "not enough memory.";
        return 0;
    }
    info->record = record;
    if (!key.empty()) {
        announced()[key] = info;
    }
    if (recordHost().deviceCB.load() == nullptr || recordHost().m_bStopped.load() != 0) {
        dumpDeviceRecord(record);
    }
    send(NEW_DEVICE, record, "NEW_DEVICE device notify");
    return 1;
}

void NotifyRemoveDevice(AndroidDeviceInfo* info) {
    if (info == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(recordHost().m_recordLock);
    if (info->record != nullptr) {
        sendRemove(info->record);
        freeDeviceRecord(info->record);
        info->record = nullptr;
        forgetLocked(info);
        return;
    }
    // Never announced: the host knows the phone from DEVICE_DISCOVERED, which
    // carried the adb serial, so the removal names that one (the phone's own
    // serial may not be known yet, or may differ).
    std::string serial = info->adbSerial.empty() ? info->serialNumber() : info->adbSerial;
    std::string key = serialKey(serial);
    if (auto it = announced().find(key); !key.empty() && it != announced().end()) {
        // Another entry announced this serial and still holds it: a removal
        // from this one would take that phone away from the host.
        DD_LOG(LOG_ERR) << "serial " << key.substr(0, 64)
                        << " is announced by another entry; no REMOVE_DEVICE from this one";
        return;
    }
    DeviceRecord* temporary = BuildTemporaryRecord(serial, info->propModel, info->vid, info->pid);
    if (temporary == nullptr) {
        return;
    }
    sendRemove(temporary);
    freeDeviceRecord(temporary);
}
