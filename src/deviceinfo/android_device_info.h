// AndroidDeviceInfo: what the module knows about one Android phone. One
// object per phone lives in theApp's information list (which owns it and
// keeps it across reconnections of the same serial); the phone's device
// thread holds a pointer to it and fills it, mostly from the companion
// service's "/info/" answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "devicedetect/DeviceDetect.h"
#include "deviceinfo/raw_http_client.h"
#include "platform/exit_flag.h"

// One storage area as the companion service reports it.
struct StorageEntry {
    int64_t total = 0;  // bytes
    int64_t free = 0;   // bytes
    std::string state;  // Android storage state: "mounted", "shared", "removed" ...
    std::string path;
    std::string sid;
    std::string mapLicPath;
};

class AndroidDeviceInfo {
  public:
    AndroidDeviceInfo() = default;
    ~AndroidDeviceInfo();
    AndroidDeviceInfo(const AndroidDeviceInfo&) = delete;
    AndroidDeviceInfo& operator=(const AndroidDeviceInfo&) = delete;

    // Asks the companion service at host (port; or localPort when host is
    // "127.0.0.1") for "/info/" and fills the fields below. Stores localPort
    // in httpPort and key as the serial number first; the phone's own serial
    // replaces it only when usable (see isUsableSerial). 1 when the phone
    // answered with status 0 and the object was filled, else 0. stop
    // (optional) cuts the request's waits short.
    int QueryDeviceInfo(const std::string& host, int port, int localPort, const std::string& key,
                        const dd::ExitFlag* stop = nullptr);

    // One request to the service through urlClient: "http://host:P" + path,
    // P being httpPort when host is exactly "127.0.0.1", else port. The
    // result is that of qxurllib2::dohttpRequest.
    int HttpRequest(const std::string& host, int port, const std::string& path, const char* body,
                    size_t bodyLength, char* out, size_t outSize,
                    const dd::ExitFlag* stop = nullptr);

    // Reads an "/info/" reply body (Base64 of AES-encrypted JSON) into the
    // fields, as QueryDeviceInfo does once the request succeeded. "conf_path"
    // and "install_non_market_apps" are stored whatever the status; the other
    // fields only when status is 0 and the whole document read cleanly (a
    // value of the wrong JSON type is a parse failure and stores nothing).
    // 1 on status 0, else 0.
    int parseInfoReply(std::string_view body);

    // A phone's own serial is its key only when it fits the record's field
    // whole (kMaxDeviceKeyChars) and holds letters, digits and "._:-" alone,
    // and is not the "unknown" that phones without one report.
    static bool isUsableSerial(std::string_view serial);
    // After a successful read: replaces a serial the phone reported that is
    // not usable by fallback (the adb serial, or the finder's), with a log line.
    void keepUsableSerial(const std::string& fallback);

    // The key the information list finds this object by. Other threads read
    // it while the device thread may replace it, hence the accessors.
    std::string serialNumber() const;
    void setSerialNumber(const std::string& serial);

    // Filled from the companion service's answer.
    int32_t battery = 0;
    int32_t httpPort = 0;  // local TCP port that leads to the service
    std::string imei;
    std::string model;
    std::string firmware;
    int32_t versionCode = 0;  // installed companion-service version
    std::string confPath;     // the phone's storage path for the service's file requests
    std::string installNonMarketApps;
    StorageEntry sdcard;  // removable card
    StorageEntry emmc;    // internal storage
    int32_t allowWifi = 0;
    std::string pairedDev;
    char16_t storageType = 0;  // 'A'..'D'
    qxurllib2 urlClient;       // this phone's raw HTTP client; used by the device thread only

    // Filled by the device threads.
    uint32_t factoryReset = 0;  // pairing-marker result: 0 paired here, 1 none, 2 other PC
    std::string serverIp;       // "127.0.0.1" for USB phones
    double kernel = 0;          // Android version as a number (androidVersion)
    uint32_t sdk = 0;
    std::string optName;
    uint16_t pid = 0;
    uint16_t vid = 0;
    int32_t autoLaunch = 0;  // 1 "auto", 0 "manual"
    std::string usbIfId;
    std::string propModel;  // model name read from the phone's properties
    std::string brand;
    std::string adbSerial;  // adb serial, the thread's lookup key

    // 1 while the host has been told about the phone (DEVICE_DISCOVERED or
    // NEW_DEVICE) and not yet by REMOVE_DEVICE.
    std::atomic<int32_t> notified{0};
    // The record announced with NEW_DEVICE; null until then. Owned by this
    // object; read and replaced under theApp.m_recordLock.
    DeviceRecord* record = nullptr;

  private:
    mutable std::mutex m_keyMutex;  // guards m_serialNumber
    std::string m_serialNumber;
};
