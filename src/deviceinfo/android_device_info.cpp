#include "deviceinfo/android_device_info.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>

#include "base/text_codec.h"
#include "deviceinfo/device_record.h"
#include "deviceinfo/device_record_store.h"
#include "deviceinfo/info_cipher.h"
#include "deviceinfo/json_fields.h"
#include "log/log_stream.h"

namespace {

// The reply buffer of the information query: larger than the 4096-byte
// receive buffer, so a whole reply body always fits.
constexpr size_t kInfoReplyBuffer = 4196;

using dd::json::integer;
using dd::json::member;
using dd::json::text;

// Storage sizes as _atoi64 reads them; never negative.
int64_t sizeFromText(const std::string& digits) {
    int64_t value = dd::json::decimal64(digits);
    return value < 0 ? 0 : value;
}

StorageEntry storageEntry(const dd::json::Value& object) {
    StorageEntry entry;
    entry.state = text(member(object, "state"));
    entry.path = text(member(object, "path"));
    entry.sid = text(member(object, "sid"));
    entry.mapLicPath = text(member(object, "map_lic_path"));
    entry.total = sizeFromText(text(member(object, "total")));
    entry.free = sizeFromText(text(member(object, "free")));
    return entry;
}

// The status-0 part of the reply, read completely before anything is stored.
struct InfoFields {
    std::string imei, serialNumber, pairedDev, firmware, model;
    int32_t battery = 0;
    bool hasVersionCode = false;
    int32_t versionCode = 0;
    int32_t allowWifi = 0;
    char16_t storageType = 0;
    StorageEntry sdcard, emmc;
};

InfoFields readInfoFields(const dd::json::Value& root) {
    InfoFields fields;
    fields.imei = text(member(member(root, "telephony"), "imei"));
    fields.serialNumber = text(member(root, "serial_number"));
    fields.pairedDev = text(member(root, "paired_dev"));
    dd::json::Value build = member(member(root, "os"), "build");
    fields.firmware = text(member(build, "description"));
    fields.model = text(member(build, "model"));
    fields.battery = integer(member(root, "battery"));
    dd::json::Value versionCode = member(root, "versionCode");
    if (!versionCode.isNull()) {
        fields.hasVersionCode = true;
        fields.versionCode = integer(versionCode);
    }
    fields.allowWifi = integer(member(root, "allowwifi"));
    int32_t letter = integer(member(root, "storage_type"));
    fields.storageType = letter >= 0 && letter <= 0xFFFF ? static_cast<char16_t>(letter) : 0;
    fields.sdcard = storageEntry(member(root, "sdcard"));
    fields.emmc = storageEntry(member(root, "emmc"));
    return fields;
}

}  // namespace

AndroidDeviceInfo::~AndroidDeviceInfo() {
    if (record != nullptr) {
        ForgetAnnouncedDevice(this);
    }
    freeDeviceRecord(record);
}

std::string AndroidDeviceInfo::serialNumber() const {
    std::lock_guard<std::mutex> lock(m_keyMutex);
    return m_serialNumber;
}

void AndroidDeviceInfo::setSerialNumber(const std::string& serial) {
    std::lock_guard<std::mutex> lock(m_keyMutex);
    m_serialNumber = serial;
}

int AndroidDeviceInfo::HttpRequest(const std::string& host, int port, const std::string& path,
                                   const char* body, size_t bodyLength, char* out, size_t outSize,
                                   const dd::ExitFlag* stop) {
    int usedPort = host == "127.0.0.1" ? httpPort : port;
    char url[1024];
    std::snprintf(url, sizeof(url), "http://%s:%d%s", host.c_str(), usedPort, path.c_str());
    return urlClient.dohttpRequest("GET", url, body, bodyLength, out, outSize, stop);
}

int AndroidDeviceInfo::QueryDeviceInfo(const std::string& host, int port, int localPort,
                                       const std::string& key, const dd::ExitFlag* stop) {
    httpPort = localPort;
    setSerialNumber(key);
    auto reply = std::make_unique<char[]>(kInfoReplyBuffer);
    if (HttpRequest(host, port, "/info/", nullptr, 0, reply.get(), kInfoReplyBuffer, stop) != 1) {
        DD_LOG(LOG_DEBUG) << "getDeviceInfo json parse failed.";
        return 0;
    }
    if (parseInfoReply(reply.get()) != 1) {
        return 0;
    }
    keepUsableSerial(key);
    return 1;
}

bool AndroidDeviceInfo::isUsableSerial(std::string_view serial) {
    if (serial.empty() || serial.size() > kMaxDeviceKeyChars ||
        dd::equalsIgnoreCase(serial, "unknown")) {
        return false;
    }
    return std::all_of(serial.begin(), serial.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == ':' || c == '-';
    });
}

void AndroidDeviceInfo::keepUsableSerial(const std::string& fallback) {
    std::string claimed = serialNumber();
    if (isUsableSerial(claimed)) {
        return;
    }
    // The phone's word becomes the key that host calls, file names and the
    // duplicate checks go by: one that is empty, "unknown" on many phones, too
    // long for the record or full of odd characters is not taken.
    DD_LOG(LOG_WAR) << "the phone reports serial \"" << claimed.substr(0, 80) << "\" ("
                    << claimed.size() << " bytes), which cannot be its key; keeping " << fallback;
    setSerialNumber(fallback);
}

int AndroidDeviceInfo::parseInfoReply(std::string_view body) {
    // The body is text: whatever follows a NUL byte is not part of it.
    body = body.substr(0, body.find('\0'));
    std::string plain = dd::AesDecryptEcb(dd::kInfoCipherKey, dd::Base64Decode(body));
    // The service pads the JSON with NUL bytes up to whole AES blocks. A body
    // without a single Base64 character decodes to nothing and is read as
    // the document itself.
    std::string_view document = plain.empty() ? body : std::string_view(plain);
    document = document.substr(0, document.find('\0'));
    try {
        dd::json::Value root;
        if (!dd::json::parseDocument(document, root) || !root.isObject()) {
            return 0;
        }
        int32_t status = integer(member(root, "status"));
        std::string conf = text(member(root, "conf_path"));
        std::string nonMarket = text(member(root, "install_non_market_apps"));
        confPath = std::move(conf);
        installNonMarketApps = std::move(nonMarket);
        if (status != 0) {
            return 0;
        }
        InfoFields fields = readInfoFields(root);
        imei = std::move(fields.imei);
        setSerialNumber(fields.serialNumber);
        pairedDev = std::move(fields.pairedDev);
        firmware = std::move(fields.firmware);
        model = std::move(fields.model);
        battery = fields.battery;
        if (fields.hasVersionCode) {
            versionCode = fields.versionCode;
        }
        allowWifi = fields.allowWifi;
        storageType = fields.storageType;
        sdcard = std::move(fields.sdcard);
        emmc = std::move(fields.emmc);
        return 1;
    } catch (const std::exception&) {
        // A value of the wrong type throws: a reply that holds one is
        // simply not a usable answer.
        return 0;
    }
}
