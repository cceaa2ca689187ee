// A BREW phone's entry in the detected-device store: one <device> under
// <detecteddevice>, found by its imei attribute.
#pragma once

#include <string>

struct BrewStoreEntry {
    std::string imei;      // checked by the caller: safe as a key
    std::string model;     // as the phone said it (cleaned for XML)
    std::string commport;  // the tty name
    int vid = 0;
    int pid = 0;
    bool factoryReset = false;
    std::string image;  // path of the model's picture, empty when none
    std::string dll;
    std::string firmware;
    std::string batteryLevel;
};

// Replaces the phone's entries in the store at path by one new entry and
// saves it; a missing store is started, a damaged one is set aside first
// (loadDetectedDeviceStore). False when the file could not be read or
// written.
bool saveBrewStoreEntry(const std::string& path, const BrewStoreEntry& entry);
