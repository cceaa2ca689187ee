#include "deviceinfo/record_builder.h"

#include "base/text_codec.h"
#include "deviceinfo/device_record.h"
#include "log/log_stream.h"

namespace {

void fillCard(CardRecord& card, uint32_t kind, const StorageEntry& entry) {
    card.kind = kind;
    dd::copyToField(card.state, entry.state.empty() ? "none" : entry.state);
    card.storageTotal = static_cast<uint64_t>(entry.total);
    card.storageFree = static_cast<uint64_t>(entry.free);
    dd::copyToField(card.path, entry.path.empty() ? "null" : entry.path);
    dd::copyToField(card.sid, entry.sid.empty() ? "null" : entry.sid);
}

}  // namespace

DeviceRecord* BuildDeviceRecord(const AndroidDeviceInfo& info, const std::string& pcIdentity) {
    DeviceRecord* record = newDeviceRecord(2);
    if (record == nullptr) {
        DD_LOG(LOG_ERR) << "memory not enough";
        return nullptr;
    }
    record->adbdeviceport = static_cast<uint32_t>(info.httpPort);
    bool pairedHere = !info.pairedDev.empty() && dd::equalsIgnoreCase(info.pairedDev, pcIdentity);
    dd::copyToField(record->allowwifi, info.allowWifi != 0 && pairedHere ? "yes" : "no");
    dd::copyToField(record->autolaunch, info.autoLaunch != 0 ? "auto" : "manual");
    record->battery = static_cast<uint16_t>(info.battery & 0xFFFF);
    record->factoryreset = info.factoryReset;
    dd::copyToField(record->firmware, info.firmware);
    dd::copyToField(record->imei, info.imei);
    record->kernel = info.kernel;
    dd::copyToField(record->model, info.model);
    dd::copyToField(record->optname, info.optName);
    record->pid = info.pid;
    record->sdk = info.sdk;
    dd::copyToField(record->serialno, info.serialNumber());
    dd::copyToField(record->serverip, info.serverIp);
    record->storagetype = info.storageType;
    record->vid = info.vid;
    dd::copyToField(record->usbIfId, info.usbIfId);
    fillCard(record->cards[0], 0, info.sdcard);
    fillCard(record->cards[1], 1, info.emmc);
    return record;
}

DeviceRecord* BuildTemporaryRecord(const std::string& serial, const std::string& model,
                                   uint16_t vid, uint16_t pid) {
    DeviceRecord* record = newDeviceRecord(0);
    if (record == nullptr) {
        return nullptr;
    }
    dd::copyToField(record->serialno, serial);
    dd::copyToField(record->model, model);
    record->vid = vid;
    record->pid = pid;
    return record;
}
