#include "deviceinfo/device_record_store.h"

#include <mutex>

#include "core/device_detect_app.h"
#include "core/record_dump.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record.h"
#include "deviceinfo/record_builder.h"
#include "log/log_stream.h"

namespace {

// Dumps and sends a notification unless the host cannot hear it now.
void send(int32_t code, DeviceRecord* record, const char* sentLine) {
    if (theApp.deviceCB.load() == nullptr || theApp.m_bStopped.load() != 0) {
        DD_LOG(LOG_DEBUG) << "theApp.deviceCB is nil";
        return;
    }
    dumpDeviceRecord(record);
    if (theApp.notifyDeviceChange(code, record)) {
        DD_LOG(LOG_DEBUG) << sentLine;
    }
}

void sendRemove(DeviceRecord* record) {
    send(REMOVE_DEVICE, record, "REMOVE_DEVICE device notify");
}

}  // namespace

int NotifyNewDevice(AndroidDeviceInfo* info) {
    if (info == nullptr) {
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(theApp.m_recordLock);
    if (info->record != nullptr) {
        return 0;  // announced once until its REMOVE_DEVICE
    }
    DeviceRecord* record = BuildDeviceRecord(*info, theApp.m_csPCIdentity);
    if (record == nullptr) {
        DD_LOG(LOG_DEBUG) << "not enough memory.";
        return 0;
    }
    info->record = record;
    if (theApp.deviceCB.load() == nullptr || theApp.m_bStopped.load() != 0) {
        dumpDeviceRecord(record);
    }
    send(NEW_DEVICE, record, "NEW_DEVICE device notify");
    return 1;
}

void NotifyRemoveDevice(AndroidDeviceInfo* info) {
    if (info == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(theApp.m_recordLock);
    if (info->record != nullptr) {
        sendRemove(info->record);
        freeDeviceRecord(info->record);
        info->record = nullptr;
        return;
    }
    DeviceRecord* temporary =
        BuildTemporaryRecord(info->serialNumber(), info->propModel, info->vid, info->pid);
    if (temporary == nullptr) {
        return;
    }
    sendRemove(temporary);
    freeDeviceRecord(temporary);
}
