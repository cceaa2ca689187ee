// The phones the host may act on: those announced with NEW_DEVICE and not
// yet removed, by the serial of their record. The module's threads update
// it from the device-change callback; the main thread looks phones up.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devicedetect/DeviceDetect.h"

class ReadyPhones {
  public:
    // Takes one device change: NEW_DEVICE keeps a copy of the record (the
    // module only reads serialno, serverip and adbdeviceport from a record
    // the host hands back, and a copy never dangles after REMOVE_DEVICE
    // frees the original); REMOVE_DEVICE forgets it.
    void onDeviceChange(int32_t code, const DeviceRecord& record);

    // The ready phone whose serial is exactly serial.
    std::optional<DeviceRecord> find(const std::string& serial) const;
    // The ready phone a sync request's device text names. A phone names
    // itself by the text before ";START" / ";STOP", which is its serial, the
    // key the host's calls find it by: only a text equal to a ready phone's
    // serial names one. Any other text names none, however many phones are
    // ready.
    std::optional<DeviceRecord> namedBy(const std::string& deviceText) const;
    std::vector<std::string> serials() const;

  private:
    mutable std::mutex m_mutex;  // guards m_records
    std::map<std::string, DeviceRecord> m_records;
};
