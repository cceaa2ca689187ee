#include "wifi/wifi_thread_android.h"

#include <charconv>
#include <chrono>
#include <mutex>

#include "base/text_codec.h"
#include "device/device_host.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record_store.h"
#include "log/log_stream.h"
#include "wifi/wifi_detect.h"

namespace {

// The wait for the end of the connection wakes on the exit flag; the period
// only bounds a single sleep, it is not a poll.
constexpr std::chrono::hours kWaitSlice{1};

std::string withoutKeyPrefix(const std::string& key) {
    constexpr std::string_view prefix = "ORQT";
    return key.compare(0, prefix.size(), prefix) == 0 ? key.substr(prefix.size()) : key;
}

uint32_t decimalOrZero(const std::string& text) {
    uint32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() ? value : 0;
}

double numberOrZero(const std::string& text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() ? value : 0;
}

}  // namespace

CWifiThread_Android::CWifiThread_Android(std::shared_ptr<AndroidDeviceInfo> deviceInfo,
                                         std::shared_ptr<const WifiPhoneRecord> record,
                                         std::shared_ptr<WifiFinderLibrary> finder,
                                         WifiDetect& bridge)
    : CUsbDeviceThread(std::string(), 0, std::string(),
                       static_cast<int>(CDeviceHost::kHomeVendorId), record->productId(),
                       std::move(deviceInfo)),
      m_pDevRecord(std::move(record)),
      m_finder(std::move(finder)),
      m_bridge(bridge) {}

CWifiThread_Android::~CWifiThread_Android() = default;

void CWifiThread_Android::SignalDisconnect() {
    RequestExit();
}

int CWifiThread_Android::InitInstance() {
    DD_LOG(LOG_INFO) << "CWifiThread_Android::InitInstance() ++";
    // Resume() has set state 1 and counted the thread in m_lConnectCount.
    if (!exitRequested()) {
        DD_LOG(LOG_DEBUG) << "start doinfo ip = " << m_szIp << " port = " << m_nPort;
        if (!readInformation()) {
            giveUpPhone();
        } else if (claimKeyWaiting(m_pDevRecord->key, [this] { return !exitRequested(); })) {
            fillInformation();
            announceAndWait();
            withdraw();
        }
    }
    // The connection has ended: its record leaves the bridge's list now, so
    // that the phone's next report starts afresh.
    m_bridge.releaseRecord(m_pDevRecord.get());
    m_nState.store(kStateFinished);
    DD_LOG(LOG_INFO) << "CWifiThread_Android::InitInstance()--";
    return 0;
}

bool CWifiThread_Android::readInformation() {
    const WifiPhoneRecord& record = *m_pDevRecord;
    AndroidDeviceInfo& info = *m_pDeviceInfo;
    info.pid = record.productId();
    info.vid = static_cast<uint16_t>(CDeviceHost::kHomeVendorId);
    // The service port doubles as the "local" port, so a phone whose address
    // is 127.0.0.1 is reached at its port too. A serial the service reports
    // that is not usable as a key gives way to the phone's key.
    if (info.QueryDeviceInfo(m_szIp, m_nPort, m_nPort, record.key, &m_lExit) != 1) {
        return false;
    }
    // The service speaks for the phone at that address; it must be the phone
    // the finder reported, or a host would act on one phone under the name
    // of another.
    if (info.imei.empty()) {
        info.imei = record.imei;
    }
    if (!dd::equalsIgnoreCase(info.serialNumber(), record.key) ||
        !dd::equalsIgnoreCase(withoutKeyPrefix(info.imei), record.imei)) {
        DD_LOG(LOG_ERR) << "the service at " << m_szIp << " answered as another phone";
        info.setSerialNumber(record.key);
        return false;
    }
    return true;
}

void CWifiThread_Android::fillInformation() {
    const WifiPhoneRecord& record = *m_pDevRecord;
    AndroidDeviceInfo& info = *m_pDeviceInfo;
    info.serverIp = m_szIp;
    info.httpPort = m_nPort;
    info.sdk = decimalOrZero(record.sdk);
    info.brand = record.brand;
    info.kernel = numberOrZero(record.version);
    info.model = record.model;
    info.autoLaunch = record.autolaunch != 0 ? 1 : 0;
    // The key is claimed (m_csSerialNum); the host hands it back as the
    // record's serial number to disconnect the phone.
    m_csConnectedSerial.set(info.serialNumber());
}

void CWifiThread_Android::announceAndWait() {
    if (exitRequested()) {
        return;  // the phone left while its information was read
    }
    NotifyNewDevice(m_pDeviceInfo.get());
    m_pDeviceInfo->notified.store(1);
    while (!exitRequested()) {
        m_lExit.sleepFor(kWaitSlice);
    }
}

void CWifiThread_Android::withdraw() {
    {
        // A host disconnect may have withdrawn the phone already: then there
        // is nothing more to send.
        std::lock_guard<std::recursive_mutex> lock(deviceHost().m_recordLock);
        if (m_pDeviceInfo->record != nullptr) {
            NotifyRemoveDevice(m_pDeviceInfo.get());
        }
    }
    m_pDeviceInfo->notified.store(0);
}

void CWifiThread_Android::giveUpPhone() {
    DD_LOG(LOG_DEBUG) << "do info fail.";
    std::string key = m_pDevRecord->key.substr(0, 127);
    std::string imei = m_pDevRecord->imei.substr(0, 127);
    deviceHost().RemoveDeviceInfo(key, m_pDeviceInfo.get());
    m_bridge.releaseRecord(m_pDevRecord.get());
    m_finder->RemoveDev(imei);
    DD_LOG(LOG_DEBUG) << "release dev record\r\n";
}

int CWifiThread_Android::Disconnect(bool shutdown) {
    SignalDisconnect();
    if (shutdown) {
        return ShutDownForHost();
    }
    int32_t running = kStateRunning;
    m_nState.compare_exchange_strong(running, kStateUserDisconnected);
    m_bUserDisconnect.store(1);
    {
        std::lock_guard<std::recursive_mutex> lock(deviceHost().m_recordLock);
        if (m_pDeviceInfo->record != nullptr) {
            NotifyRemoveDevice(m_pDeviceInfo.get());
        }
    }
    GiveBackConnectCount();
    SetSyncStatus(3);
    return 1;
}

void CWifiThread_Android::OnReaped() {
    m_bridge.releaseRecord(m_pDevRecord.get());
}

std::string CWifiThread_Android::phonePlace() const {
    return "the Wi-Fi phone at " + m_szIp;
}

int CWifiThread_Android::SetSyncStatus(int status) {
    // m_lSyncStatus is stored by the caller; the finder passes it on.
    m_finder->SetDevStatus(status, m_pDevRecord->raw);
    return 1;
}
