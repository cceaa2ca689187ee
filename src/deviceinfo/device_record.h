// Allocation of the records handed to the host. A record and its card array
// are always made and freed through these two, so ownership is never unclear.
#pragma once

#include <cstdint>

#include "devicedetect/DeviceDetect.h"

// A zero-filled record with cardCount zero-filled cards; null when memory runs out.
DeviceRecord* newDeviceRecord(uint32_t cardCount);
// Frees the record and its cards; null is fine.
void freeDeviceRecord(DeviceRecord* record);
