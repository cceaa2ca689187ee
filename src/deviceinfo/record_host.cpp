#include "deviceinfo/record_host.h"

#include "base/text_codec.h"
#include "log/log_stream.h"

bool CRecordHost::notifyDeviceChange(int32_t code, DeviceRecord* record) {
    DeviceChangeCallBack callback = deviceCB.load();
    if (callback == nullptr || m_bStopped.load() != 0) {
        DD_LOG(LOG_DEBUG) << "theApp.deviceCB is nil";
        return false;
    }
    callback(code, record);
    return true;
}

bool CRecordHost::notifySyncByDevice(const std::string& device, int32_t action) {
    SyncByDevCallBack callback = syncCB.load();
    if (callback == nullptr) {
        DD_LOG(LOG_DEBUG) << "syncCB is nil";
        return false;
    }
    std::u16string text = dd::utf8ToUtf16(device);
    callback(text.c_str(), action);
    return true;
}
