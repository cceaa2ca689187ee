// Turns a phone's AndroidDeviceInfo into the DeviceRecord the host sees.
#pragma once

#include <string>

#include "devicedetect/DeviceDetect.h"
#include "deviceinfo/android_device_info.h"

// A complete record (two cards: 0 the removable card, 1 internal storage),
// owned by the caller (freeDeviceRecord); null when memory runs out ("memory
// not enough" is logged). pcIdentity decides "allowwifi": "yes" only when the
// phone allows Wi-Fi sync and is paired with this PC.
DeviceRecord* BuildDeviceRecord(const AndroidDeviceInfo& info, const std::string& pcIdentity);

// The temporary record of a phone that was never announced: vid, pid,
// serialno and model only.
DeviceRecord* BuildTemporaryRecord(const std::string& serial, const std::string& model,
                                   uint16_t vid, uint16_t pid);
