#include "wifi/wifi_record.h"

#include <charconv>
#include <cstring>

#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record.h"
#include "platform/tcp_socket.h"

namespace {

template <size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Clears everything from the first NUL on; a field without one loses its
// last byte to the NUL.
template <size_t N>
void terminate(char (&field)[N]) {
    size_t length = strnlen(field, N - 1);
    std::memset(field + length, 0, N - length);
}

}  // namespace

bool isPlainKeyText(std::string_view text) {
    for (char c : text) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '_' || c == ':' || c == '-';
        if (!plain) {
            return false;
        }
    }
    return true;
}

std::optional<WifiPhoneRecord> WifiPhoneRecord::fromFinder(const WifiDevRecord& record,
                                                           std::string* why) {
    auto refuse = [&](const char* reason) -> std::optional<WifiPhoneRecord> {
        if (why != nullptr) {
            *why = reason;
        }
        return std::nullopt;
    };
    WifiPhoneRecord phone;
    phone.imei = fieldText(record.imei);
    phone.serial = fieldText(record.serial);
    phone.ip = fieldText(record.ip);
    if (phone.imei.empty()) {
        return refuse("no IMEI");
    }
    if (!isPlainKeyText(phone.imei) || !isPlainKeyText(phone.serial)) {
        return refuse("IMEI or serial number with characters a key may not hold");
    }
    if (phone.imei.size() > kMaxDeviceKeyChars) {
        return refuse("IMEI longer than a device record holds");
    }
    if (!dd::platform::isDottedIpv4(phone.ip)) {
        return refuse("no IPv4 address");
    }
    if (AndroidDeviceInfo::isUsableSerial(phone.serial)) {
        phone.key = phone.serial;
    } else if (AndroidDeviceInfo::isUsableSerial(phone.imei)) {
        phone.key = phone.imei;
    }
    phone.port = fieldText(record.port);
    phone.model = fieldText(record.model);
    phone.version = fieldText(record.version);
    phone.sdk = fieldText(record.sdk);
    phone.brand = fieldText(record.brand);
    phone.paired = fieldText(record.paired);
    phone.pid = fieldText(record.pid);
    phone.autolaunch = record.autolaunch;
    // The copy handed back to the finder ends every field with a NUL, so a
    // finder that trusts its own records reads no further than their rooms.
    phone.raw = record;
    terminate(phone.raw.imei);
    terminate(phone.raw.model);
    terminate(phone.raw.version);
    terminate(phone.raw.sdk);
    terminate(phone.raw.brand);
    terminate(phone.raw.ip);
    terminate(phone.raw.port);
    terminate(phone.raw.paired);
    terminate(phone.raw.pid);
    terminate(phone.raw.serial);
    return phone;
}

int32_t WifiPhoneRecord::servicePort() const {
    unsigned value = 0;
    auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (error != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
        return 0;
    }
    return static_cast<int32_t>(value);
}

uint16_t WifiPhoneRecord::productId() const {
    unsigned value = 0;
    auto [end, error] = std::from_chars(pid.data(), pid.data() + pid.size(), value, 16);
    if (pid.empty() || error != std::errc() || end != pid.data() + pid.size() || value > 0xFFFF) {
        return 0;
    }
    return static_cast<uint16_t>(value);
}

void WifiPhoneRecord::setServicePort() {
    port = kServicePort;
    std::memset(raw.port, 0, sizeof(raw.port));
    std::memcpy(raw.port, kServicePort, std::strlen(kServicePort));
}
