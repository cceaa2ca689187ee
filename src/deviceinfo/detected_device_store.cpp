#include "deviceinfo/detected_device_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "deviceinfo/xml_helper.h"
#include "log/log_stream.h"
#include "platform/local_time.h"
#include "platform/paths.h"

namespace {

constexpr const char* kRootXPath = "/detecteddevice";

// "<path>.damaged-20240131-142501", with "-2", "-3" ... when that is taken.
std::string asideName(const std::string& path) {
    dd::platform::LocalTime now = dd::platform::localTimeNow();
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04d%02d%02d-%02d%02d%02d", now.year, now.month, now.day,
                  now.hour, now.minute, now.second);
    std::string base = path + ".damaged-" + stamp;
    std::string name = base;
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(std::filesystem::symlink_status(name, ec)) && n < 1000;
         ++n) {
        name = base + "-" + std::to_string(n);
    }
    return name;
}

StoreLoad setAside(const std::string& path, const std::string& why) {
    std::string aside = asideName(path);
    if (std::rename(path.c_str(), aside.c_str()) != 0) {
        DD_LOG(LOG_ERR) << "detected-device store " << path << " is damaged (" << why
                        << ") and cannot be set aside (" << std::strerror(errno)
                        << "); leaving it as it is";
        return StoreLoad::Unreadable;
    }
    DD_LOG(LOG_ERR) << "detected-device store " << path << " is damaged (" << why << "); kept as "
                    << aside << ", starting a new store";
    return StoreLoad::SetAside;
}

}  // namespace

std::string detectedDeviceFile(const std::string& dataFolder) {
    return dd::platform::joinPath(dataFolder, "xml/detecteddevice.xml");
}

std::mutex& detectedDeviceStoreLock() {
    static std::mutex lock;
    return lock;
}

StoreLoad loadDetectedDeviceStore(CXmlHelper& xml, const std::string& path) {
    if (xml.LoadFromFile(path) == CXmlHelper::kOk) {
        CXmlNode root;
        if (xml.GetNode(kRootXPath, root) == CXmlHelper::kOk) {
            return StoreLoad::Loaded;
        }
        return setAside(path, "no <detecteddevice> root");
    }
    switch (xml.loadProblem()) {
        case CXmlHelper::LoadProblem::Missing:
            return StoreLoad::Missing;
        case CXmlHelper::LoadProblem::Damaged:
            return setAside(path, xml.loadError());
        default:
            DD_LOG(LOG_ERR) << "cannot read the detected-device store: " << xml.loadError()
                            << "; leaving it as it is, nothing written";
            return StoreLoad::Unreadable;
    }
}

bool RemoveDetectedDevice(const std::string& dataFolder, const std::string& imei) {
    std::string path = detectedDeviceFile(dataFolder);
    std::lock_guard<std::mutex> guard(detectedDeviceStoreLock());
    CXmlHelper xml;
    if (loadDetectedDeviceStore(xml, path) != StoreLoad::Loaded) {
        return false;
    }
    CXmlNode root;
    xml.GetNode(kRootXPath, root);
    CXmlNode device;
    std::string xpath = "/detecteddevice/device[@imei=" + CXmlHelper::xpathLiteral(imei) + "]";
    if (xml.GetNode(xpath, device) == CXmlHelper::kOk) {
        xml.RemoveAssignNode(root, device);
    }
    xml.SaveXml(path);
    return true;
}
