#include "deviceinfo/device_record_store.h"

#include <mutex>

#include "core/device_detect_app.h"
#include "core/record_dump.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record.h"
#include "deviceinfo/record_builder.h"
#include "log/log_stream.h"

namespace {

// Dumps and sends REMOVE_DEVICE unless the host cannot hear it now.
void sendRemove(DeviceRecord* record) {
    if (theApp.deviceCB.load() == nullptr || theApp.m_bStopped.load() != 0) {
        DD_LOG(LOG_DEBUG) << "theApp.deviceCB is nil";
        return;
    }
    dumpDeviceRecord(record);
    if (theApp.notifyDeviceChange(REMOVE_DEVICE, record)) {
        DD_LOG(LOG_DEBUG) << "REMOVE_DEVICE device notify";
    }
}

}  // namespace

void NotifyRemoveDevice(AndroidDeviceInfo* info) {
    if (info == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(theApp.m_recordLock);
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
