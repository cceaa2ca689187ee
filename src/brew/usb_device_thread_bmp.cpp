#include "brew/usb_device_thread_bmp.h"

#include <filesystem>
#include <system_error>

#include "brew/brew_frame.h"
#include "brew/brew_reply.h"
#include "brew/brew_store_entry.h"
#include "device/device_host.h"
#include "device/hub_queries.h"
#include "deviceinfo/detected_device_store.h"
#include "log/log_stream.h"
#include "log/logged_ini.h"
#include "platform/paths.h"
#include "platform/serial_sysfs.h"

namespace fs = std::filesystem;
namespace usb_error = dd::platform::usb_error;

namespace {

constexpr int kDetectTimeoutMs = 5000;
constexpr int kFileTimeoutMs = 20000;
constexpr int kOpenAttempts = 5;
constexpr int kOpenWaitMs = 1000;
constexpr int kCloseWaitMs = 1000;

int frameCompleteTest(const uint8_t* bytes, size_t length) {
    return dd::brew::frameComplete(std::string_view(reinterpret_cast<const char*>(bytes), length))
               ? 1
               : 0;
}

}  // namespace

CUsbDeviceThread_BMP::CUsbDeviceThread_BMP(std::string hubPath, int hubPort, std::string dllName,
                                           int vid, int pid)
    : CUsbDeviceThread(std::move(hubPath), hubPort, std::move(dllName), vid, pid, nullptr) {
    m_helper.setExitFlag(&m_lExit);
    m_helper.setFrameCompleteTest(frameCompleteTest);
}

CUsbDeviceThread_BMP::~CUsbDeviceThread_BMP() {
    RequestExit();
    Join();
}

int CUsbDeviceThread_BMP::InitInstance() {
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_BMP::InitInstance() ++";
    RememberDevice();
    PhoneFacts facts;
    bool saved = false;
    bool syncNoted = false;
    bool claimWaiting = false;  // another phone goes by this one's IMEI
    bool leftAlone = false;     // busy past its limit: only watched until unplugged
    int ttyMisses = 0;
    while (!exitRequested() && !m_csHubPath.empty()) {
        int vid = 0;
        int pid = 0;
        std::string driverKey;
        int ret = GetUsbNodeInfo(m_csHubPath, m_nHubPort, &vid, &pid, &driverKey, nullptr);
        if (ret != 0 || !devicePresent()) {
            // 1167: nothing on the port. A hub that went away (or another
            // device on the port) ends the watch just as surely.
            DD_LOG(LOG_INFO) << "brew phone left " << m_csHubPath << " port " << m_nHubPort << " ("
                             << ret << ")";
            MarkLeaving();
            break;
        }
        bool syncing = hostIsSyncing();
        if (syncing != syncNoted) {
            DD_LOG(LOG_INFO) << (syncing ? "host is synchronising, phone left alone"
                                         : "host finished synchronising");
            syncNoted = syncing;
        }
        if (!syncing && !driverKey.empty() && facts.imei.empty() && !leftAlone) {
            std::string tty;
            if (findComPort(driverKey, tty) != 0) {
                if (++ttyMisses >= kTtyWaitPasses) {
                    DD_LOG(LOG_ERR)
                        << "no serial port for " << driverKey << ", leave detect thread";
                    MarkLeaving();
                    break;
                }
            } else {
                interrogate(tty, facts);
            }
            if (m_helper.busyLimitReached()) {
                // Asking again on every pass would hold the phone (and this
                // thread) in busy rounds for as long as it stays plugged.
                DD_LOG(LOG_ERR) << "brew phone on " << m_csHubPath << " port " << m_nHubPort
                                << " left alone until it is plugged again";
                leftAlone = true;
            }
        }
        if (!facts.imei.empty() && !saved && !exitRequested() && claimImei(facts, claimWaiting)) {
            saveToStore(facts);
            saved = true;
        }
        if (!exitRequested()) {
            pause(kPresencePollPeriod);
        }
    }
    m_helper.Close(0);
    std::string path = detectedDeviceFile(deviceHost().dataFolder());
    std::error_code ec;
    if (saved && fs::exists(path, ec)) {
        RemoveDetectedDevice(facts.imei);
    }
    GiveBackConnectCount();
    DD_LOG(LOG_DEBUG) << "CUsbDeviceThread_BMP::InitInstance() --";
    return 0;
}

bool CUsbDeviceThread_BMP::hostIsSyncing() const {
    std::error_code ec;
    return fs::exists(dd::platform::joinPath(deviceHost().paths().lockDir, kInSyncFlagName), ec);
}

int CUsbDeviceThread_BMP::findComPort(const std::string& driverKey, std::string& tty) const {
    std::string found = dd::platform::usbDeviceTty(deviceHost().paths().sysfsRoot, driverKey);
    if (found.empty()) {
        return usb_error::kFileNotFound;
    }
    tty = found;
    return 0;
}

bool CUsbDeviceThread_BMP::interrogate(const std::string& tty, PhoneFacts& facts) {
    m_helper.SetPort(tty, true);
    if (m_helper.Open(kOpenAttempts, kOpenWaitMs) != CUsbHelper::kOk) {
        DD_LOG(LOG_ERR) << "cannot open " << tty << ", trying again later";
        return false;
    }
    PhoneFacts found;
    found.tty = tty;
    if (!detectPhone(found)) {
        m_helper.Close(0);
        return false;
    }
    std::string info;
    int ret = m_helper.Transact(dd::brew::getPhoneInfoRequest(), info, kDetectTimeoutMs, 1);
    if (ret != CUsbHelper::kOk) {
        DD_LOG(LOG_ERR) << "GetPhoneInfo failed: " << ret;
    }
    found.info = info;
    checkRegistration(found);
    if (m_helper.busyLimitReached()) {
        // Half an interrogation is not recorded.
        m_helper.Close(0);
        return false;
    }
    m_helper.Close(kCloseWaitMs);
    facts = std::move(found);
    return true;
}

bool CUsbDeviceThread_BMP::claimImei(const PhoneFacts& facts, bool& waiting) {
    std::shared_ptr<CUsbDeviceThread> holder = deviceHost().claimSerial(facts.imei, this);
    if (!holder) {
        if (waiting) {
            DD_LOG(LOG_INFO) << "IMEI " << facts.imei
                             << " is free now; recording the brew phone on " << m_csHubPath
                             << " port " << m_nHubPort;
            waiting = false;
        }
        return true;
    }
    // One key, one phone: the phone that goes by it keeps its store entry,
    // its unplug and its disconnect; this one waits, unrecorded, until that
    // phone has gone.
    if (!waiting) {
        DD_LOG(LOG_WAR) << "the brew phone on " << m_csHubPath << " port " << m_nHubPort
                        << " reports IMEI " << facts.imei << ", which the phone on "
                        << (holder->m_csHubPath.empty() ? std::string("Wi-Fi")
                                                        : holder->m_csHubPath)
                        << " port " << holder->m_nHubPort
                        << " goes by; it is not recorded while that phone is there";
        waiting = true;
    }
    return false;
}

bool CUsbDeviceThread_BMP::detectPhone(PhoneFacts& facts) {
    std::string reply;
    int ret = m_helper.Transact(dd::brew::detectPhoneRequest(), reply, kDetectTimeoutMs, 1);
    if (ret != CUsbHelper::kOk) {
        DD_LOG(LOG_ERR) << "DetectPhone failed: " << ret;
        return false;
    }
    std::string imei;
    std::string model;
    int imeiResult = dd::brew::getReplyValue(reply, "DetectPhone", "IMEI", imei);
    int modelResult = dd::brew::getReplyValue(reply, "DetectPhone", "ModelName", model);
    imei = std::string(dd::trim(imei));
    if (imeiResult != dd::brew::kValueFound) {
        DD_LOG(LOG_ERR) << "DetectPhone reply without IMEI: " << imeiResult;
        return false;
    }
    // The IMEI names a file and a store entry: a phone that sends anything
    // but letters, digits, '-' and '_' is not taken at its word.
    if (!dd::brew::isSafeImei(imei)) {
        DD_LOG(LOG_ERR) << "refused IMEI from phone: " << dd::brew::cleanPhoneText(imei, 64);
        return false;
    }
    if (modelResult != dd::brew::kValueFound) {
        model.clear();
    }
    facts.imei = imei;
    facts.model = dd::brew::cleanPhoneText(dd::trim(model), 127);
    DD_LOG(LOG_INFO) << "[DETECT] brew phone " << facts.model << " imei " << facts.imei << " on "
                     << facts.tty;
    return true;
}

void CUsbDeviceThread_BMP::checkRegistration(PhoneFacts& facts) {
    std::string key;
    BuildPcIdentity(key);
    int svrMissing = 0;
    int settingMissing = 0;
    int svr = checkSyncSvr(key, svrMissing, false);
    int setting = checkSyncSetting(key, settingMissing, false);
    DD_LOG(LOG_DEBUG) << "factoryReset1 syncsvr " << svr << "/" << svrMissing << " syncsetting "
                      << setting << "/" << settingMissing;
    if (svr != 0 || setting != 0) {
        // A list that could not be read is not an empty list: rewriting it
        // would drop the phone's other partners over a lost reply.
        DD_LOG(LOG_ERR) << "sync lists could not be read, registration left as it is";
        return;
    }
    if (svrMissing != 0 && settingMissing != 0) {
        facts.factoryReset = true;
        svr = checkSyncSvr(key, svrMissing, true);
        setting = checkSyncSetting(key, settingMissing, true);
        DD_LOG(LOG_DEBUG) << "bFactoryReset syncsvr " << svr << " syncsetting " << setting;
    }
}

int CUsbDeviceThread_BMP::checkSyncSvr(const std::string& key, int& notRegistered, bool write) {
    notRegistered = 0;
    std::string reply;
    int ret = m_helper.Transact(dd::brew::readPictureRequest(dd::brew::kSyncSvrPath), reply,
                                kFileTimeoutMs, 1);
    std::string content;
    if (ret == CUsbHelper::kOk && !dd::brew::parseReadPicture(reply, content)) {
        DD_LOG(LOG_ERR) << "ReadPicture reply not understood";
    }
    if (content.empty() || !dd::brew::holdsName(dd::brew::syncSvrNames(content), key)) {
        notRegistered = 1;
    }
    if (notRegistered == 0 || !write) {
        return ret;
    }
    for (const std::string& request :
         dd::brew::writePictureRequests(dd::brew::kSyncSvrPath, dd::brew::syncSvrContentFor(key))) {
        std::string answer;
        ret = m_helper.Transact(request, answer, kFileTimeoutMs, 1);
        if (ret != CUsbHelper::kOk) {
            DD_LOG(LOG_ERR) << "WritePicture failed: " << ret;
            return ret;
        }
    }
    return 0;
}

int CUsbDeviceThread_BMP::checkSyncSetting(const std::string& key, int& notRegistered, bool write) {
    notRegistered = 0;
    std::string reply;
    int ret = m_helper.Transact(dd::brew::getSyncSettingRequest(), reply, kFileTimeoutMs, 1);
    std::string_view text = dd::brew::syncSettingText(reply);
    std::vector<std::string> names = dd::brew::syncSettingNames(text);
    if (!dd::brew::holdsName(names, key)) {
        notRegistered = 1;
    }
    if (notRegistered == 0 || !write) {
        return ret;
    }
    std::string request;
    if (!dd::brew::setSyncSettingRequest(dd::brew::syncSettingListFor(key, names.empty()),
                                         request)) {
        DD_LOG(LOG_ERR) << "SetSyncSetting request longer than "
                        << dd::brew::kMaxSetSyncSettingRequest << " bytes, not sent";
        return CUsbHelper::kRequestTooLong;
    }
    std::string answer;
    ret = m_helper.Transact(request, answer, kFileTimeoutMs, 1);
    if (ret != CUsbHelper::kOk) {
        DD_LOG(LOG_ERR) << "SetSyncSetting failed: " << ret;
    }
    return ret;
}

void CUsbDeviceThread_BMP::saveToStore(const PhoneFacts& facts) {
    std::error_code ec;
    // The IMEI was checked to be a plain name, so this stays in the data folder.
    fs::remove(dd::platform::joinPath(deviceHost().dataFolder(), "config" + facts.imei + ".xml"),
               ec);

    BrewStoreEntry entry;
    entry.imei = facts.imei;
    entry.model = facts.model;
    entry.commport = facts.tty;
    entry.vid = m_nVid;
    entry.pid = m_nPid;
    entry.factoryReset = facts.factoryReset;
    entry.dll = m_csDllName;
    std::string value;
    if (dd::brew::getReplyValue(facts.info, "GetPhoneInfo", "FirmwareVersion", value) ==
        dd::brew::kValueFound) {
        entry.firmware = dd::brew::cleanPhoneText(dd::trim(value));
    }
    value.clear();
    if (dd::brew::getReplyValue(facts.info, "GetPhoneInfo", "BatterLevel", value) ==
        dd::brew::kValueFound) {
        entry.batteryLevel = dd::brew::cleanPhoneText(dd::trim(value), 16);
    }
    if (dd::brew::isSafeModelFileName(facts.model)) {
        std::string image =
            dd::platform::joinPath(deviceHost().moduleFolder(), "data/" + facts.model + ".png");
        if (fs::is_regular_file(image, ec)) {
            entry.image = image;
        }
    }
    if (facts.factoryReset) {
        dd::logged::writeIniString(deviceHost().rememberedDeviceFile(), "imei", facts.imei,
                                   "65535");
    }
    // The phone answers to its IMEI (claimed, so m_csSerialNum holds it)
    // before its entry shows: a host that disconnects it as soon as it sees
    // the entry must find this thread.
    m_csConnectedSerial.set(facts.imei);
    if (saveBrewStoreEntry(detectedDeviceFile(deviceHost().dataFolder()), entry)) {
        DD_LOG(LOG_INFO) << "brew phone " << facts.imei << " saved to the detected-device store";
    }
    if (m_bUserDisconnect.load() != 0) {
        // Disconnected while the entry was being written: it goes again.
        RemoveDetectedDevice(facts.imei);
    }
}

int CUsbDeviceThread_BMP::GetUsbNodeInfo(const std::string& hubPath, int port, int* vid, int* pid,
                                         std::string* driverKey, std::string*) {
    return getHubPortInfo(moduleUsbTree(), hubPath, port, vid, pid, driverKey, nullptr);
}

int CUsbDeviceThread_BMP::Disconnect(bool shutdown) {
    if (shutdown) {
        return ShutDownForHost();
    }
    m_bUserDisconnect.store(1);
    m_nState.store(kStateUserDisconnected);
    std::string imei = m_csSerialNum.get();
    if (!imei.empty()) {
        RemoveDetectedDevice(imei);
    }
    m_nState.store(kStateFinished);
    GiveBackConnectCount();
    return 1;
}
