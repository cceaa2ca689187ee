#include "deviceinfo/device_record.h"

#include <new>

DeviceRecord* newDeviceRecord(uint32_t cardCount) {
    DeviceRecord* record = new (std::nothrow) DeviceRecord{};
    if (record == nullptr) {
        return nullptr;
    }
    if (cardCount > 0) {
        record->cards = new (std::nothrow) CardRecord[cardCount]{};
        if (record->cards == nullptr) {
            delete record;
            return nullptr;
        }
        record->cardcount = cardCount;
    }
    return record;
}

void freeDeviceRecord(DeviceRecord* record) {
    if (record != nullptr) {
        delete[] record->cards;
        delete record;
    }
}
