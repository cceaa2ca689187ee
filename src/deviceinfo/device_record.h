// Allocation of the records handed to the host. A record and its card array
// are always made and freed through these two, so ownership is never unclear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "devicedetect/DeviceDetect.h"

// The longest key (serial, IMEI) a phone may be served under: what a
// record's serialno holds whole, with its NUL. The host's calls find a phone
// by that field, so a longer key would reach the host cut and find nothing.
// Keys are plain ASCII, one UTF-16 unit a character.
inline constexpr size_t kMaxDeviceKeyChars = std::extent_v<decltype(DeviceRecord::serialno)> - 1;

// A zero-filled record with cardCount zero-filled cards; null when memory runs out.
DeviceRecord* newDeviceRecord(uint32_t cardCount);
// Frees the record and its cards; null is fine.
void freeDeviceRecord(DeviceRecord* record);
