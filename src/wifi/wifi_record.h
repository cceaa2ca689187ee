// The module's own copy of a phone's finder record, with its text fields
// read once, within their rooms, and checked. A finder may leave a field
// without its NUL or put anything into it; what a phone says about itself
// goes into request paths, list keys and file names only after passing
// here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "devicedetect/QXWIFIFinder.h"

struct WifiPhoneRecord {
    // The bridge writes this into the port field of every connecting phone:
    // the companion service's port on the phone.
    static constexpr const char* kServicePort = "8183";

    WifiDevRecord raw{};  // the copy the finder is handed back; fields NUL-terminated
    std::string imei;     // the phone's key in the bridge's list
    std::string serial;   // the serial number it announced (may be empty)
    // Its key in the module (information list, duplicate checks, the
    // record's serialno): the serial when usable as a key, else the IMEI
    // when that is usable, else empty: such a phone is not served. The rule
    // of USB phones' keys (AndroidDeviceInfo::isUsableSerial), so that no
    // two phones go by "" or "unknown".
    std::string key;
    std::string ip;  // dotted IPv4 address
    std::string port, model, version, sdk, brand, paired, pid;
    int32_t autolaunch = 0;

    // Copies a finder's record. nullopt (with *why set) when a key field is
    // unusable: an empty IMEI, an IMEI or serial with characters outside
    // [A-Za-z0-9._:-] (they become request parameters and list keys), an
    // IMEI longer than a record's key field holds, or an address that is not
    // dotted IPv4. A record without a usable key is copied with an empty key.
    static std::optional<WifiPhoneRecord> fromFinder(const WifiDevRecord& record,
                                                     std::string* why = nullptr);

    // The port field as a port number; 0 when it is not one.
    int32_t servicePort() const;
    // The product id field read as hexadecimal; 0 when empty or not hex.
    uint16_t productId() const;
    // Writes the service port into the port field of the copy.
    void setServicePort();
};

// A key text is made only of [A-Za-z0-9._:-]: nothing that could change the
// shape of a URL, an INI key or a file name.
bool isPlainKeyText(std::string_view text);
