#include "core/device_detect_app.h"

#include <cstdlib>
#include <ctime>
#include <vector>

#include "android/device_controller_bridge.h"
#include "android/pc_identity.h"
#include "base/text_codec.h"
#include "log/log_stream.h"
#include "log/logged_ini.h"
#include "platform/ini_file.h"
#include "platform/private_dir.h"

CDeviceDetectApp theApp;

namespace {

int32_t logLevelFromWord(const std::string& word) {
    // Exact, case-sensitive words; anything else switches the log off.
    if (word == "Debug")
        return LOG_DEBUG;
    if (word == "Info")
        return LOG_INFO;
    if (word == "War")
        return LOG_WAR;
    if (word == "Err")
        return LOG_ERR;
    if (word == "Crit")
        return LOG_CRIT;
    return 0;
}

}  // namespace

CDeviceDetectApp::CDeviceDetectApp() : m_pDetectedXml(std::make_unique<CXmlHelper>()) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    m_paths = dd::platform::readRuntimePaths();
}

CDeviceDetectApp::~CDeviceDetectApp() {
    ExitInstance();
}

void CDeviceDetectApp::ExitInstance() {
    if (m_exited) {
        return;
    }
    m_exited = true;
    stopDetect();
    // The host may unload the library next: no thread may run its code after
    // this returns.
    waitForDetectionEnd();
}

void CDeviceDetectApp::waitForDetectionEnd() {
    // The detector threads stop the device threads on their way out; threads
    // listed while no detector ran are stopped here.
    m_usbDetect.join();
    stopDeviceThreads();
    m_wifiDetect.shutdown();
    clearDeviceInfos();
}

CRecordHost& recordHost() {
    return theApp;
}

CDeviceHost& deviceHost() {
    return theApp;
}

void CDeviceDetectApp::deviceListChanged() {
    m_usbDetect.listChanged();
}

std::string CDeviceDetectApp::shortPcIdentity() const {
    return dd::android::shortPcIdentity();
}

void CDeviceDetectApp::readLoaderConfig() {
    m_paths = dd::platform::readRuntimePaths();
    // A key in the user's own file wins over the packaged one, which only
    // root can change.
    std::vector<std::string> files = dd::platform::loaderIniFiles(m_paths);
    std::string word =
        dd::logged::readIniString(dd::platform::iniFileSetting(files, "Detect", "LogLevel"),
                                  "Detect", "LogLevel", "None", 19);
    m_nLoaderHttpPort =
        dd::logged::readIniInt(dd::platform::iniFileSetting(files, "Detect", "LoaderHttpPort"),
                               "Detect", "LoaderHttpPort", 0);
    if (m_nLoaderHttpPort < 0 || m_nLoaderHttpPort > 65535) {
        m_nLoaderHttpPort = 0;
    }
    LogInit(LOG_OPT_HEADER | LOG_OPT_SINK, logLevelFromWord(word), "DeviceDetect");
}

int CDeviceDetectApp::prepareDetect() {
    DD_LOG(LOG_DEBUG) << "CDeviceDetectApp::startDetect() ++";
    // Without a home the files would go to a folder in the shared temporary
    // folder: one that someone else made first would receive the user's
    // phones and log, so an untrusted one stops everything here.
    if (std::string problem = dd::platform::fallbackFolderProblem(m_paths, true);
        !problem.empty()) {
        DD_LOG(LOG_CRIT) << problem << "; DeviceDetect does not start (set HOME or XDG_DATA_HOME "
                         << "and XDG_CONFIG_HOME to folders of this user's own)";
        m_bFoldersRefused.store(1);
        return 1;
    }
    DD_LOG(LOG_DEBUG) << "CreateDirectory " << m_paths.dataDir;
    if (!dd::platform::makeDirectories(m_paths.dataDir)) {
        DD_LOG(LOG_ERR) << "cannot create the data folder " << m_paths.dataDir;
    }
    m_csPCIdentity = dd::android::fullPcIdentity(m_paths.sysfsRoot);

    if (acquireInstanceGuard() != 0) {
        return 1;
    }

    DD_LOG(LOG_DEBUG) << "Load device.xml";
    std::string catalogue = catalogueFile();
    DD_LOG(LOG_DEBUG) << "Load " << catalogue;
    m_supported.loadSupportedIds(catalogue);
    return 0;
}

int CDeviceDetectApp::acquireInstanceGuard() {
    const std::string name = std::string(kInstanceGuardName) + ".lock";
    std::string folder = m_paths.lockDir;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string problem;
        if (folder == dd::platform::privateFallbackDir() &&
            !dd::platform::ensurePrivateDir(folder, &problem)) {
            DD_LOG(LOG_ERR) << "single-instance lock folder cannot be used: " << problem
                            << "; starting without the guard";
            return 0;
        }
        std::string guard = dd::platform::joinPath(folder, name);
        switch (m_hInstanceMutex.tryAcquire(guard, &problem)) {
            case dd::platform::InstanceLock::Result::Acquired:
                return 0;
            case dd::platform::InstanceLock::Result::HeldElsewhere:
                DD_LOG(LOG_ERR) << "orqDetect already exists.";
                DD_LOG(LOG_ERR) << "another DeviceDetect of this user holds " << guard;
                return 1;
            case dd::platform::InstanceLock::Result::Untrusted:
                // Someone else's file where ours belongs: neither follow it nor
                // let it keep detection from starting.
                DD_LOG(LOG_ERR) << "single-instance lock not used: " << problem;
                if (folder != dd::platform::privateFallbackDir()) {
                    folder = dd::platform::privateFallbackDir();
                    DD_LOG(LOG_ERR)
                        << "taking the single-instance lock in " << folder << " instead";
                    continue;
                }
                return 0;
            case dd::platform::InstanceLock::Result::Failed:
                // Without a lock file we cannot tell; detection still works.
                DD_LOG(LOG_ERR) << "cannot open the single-instance lock: " << problem;
                return 0;
        }
    }
    return 0;
}

int CDeviceDetectApp::startDetect() {
    DD_LOG(LOG_DEBUG) << "module path : " << m_paths.moduleDir;
    preloadDeviceController();  // before any phone thread can need it
    DD_LOG(LOG_DEBUG) << "create detect thread.";
    if (m_usbDetect.running()) {
        // Started twice without a stop: one generation is enough.
        m_usbDetect.requestScan();
    } else {
        // The previous generation (told to leave by stopDetect) ends first,
        // so that two generations never share the lists and the departures
        // of its phones are not announced as if they happened now.
        m_usbDetect.join();
        m_lConnectCount.store(0);
        m_bStopped.store(0);
        m_usbDetect.start();
    }
    DD_LOG(LOG_DEBUG) << "create handle device thread.";
    m_wifiDetect.startDetect(m_csPCIdentity);
    DD_LOG(LOG_DEBUG) << "CDeviceDetectApp::startDetect() --";
    return 1;
}

void CDeviceDetectApp::stopDetect() {
    DD_LOG(LOG_DEBUG) << "CDeviceDetectApp::stopDetect() ++";
    m_bStopped.store(1);
    m_wifiDetect.stopDetect();
    m_lConnectCount.store(0);
    m_usbDetect.signalLeave();
    m_hInstanceMutex.release();
    DD_LOG(LOG_DEBUG) << "CDeviceDetectApp::stopDetect() --";
}
