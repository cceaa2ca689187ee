#include "deviceinfo/detected_device_store.h"

#include "deviceinfo/xml_helper.h"
#include "platform/paths.h"

std::string detectedDeviceFile(const std::string& dataFolder) {
    return dd::platform::joinPath(dataFolder, "xml/detecteddevice.xml");
}

std::mutex& detectedDeviceStoreLock() {
    static std::mutex lock;
    return lock;
}

bool RemoveDetectedDevice(const std::string& dataFolder, const std::string& imei) {
    std::string path = detectedDeviceFile(dataFolder);
    std::lock_guard<std::mutex> guard(detectedDeviceStoreLock());
    CXmlHelper xml;
    if (xml.LoadFromFile(path) != CXmlHelper::kOk) {
        return false;
    }
    pugi::xml_node root;
    if (xml.GetNode("/detecteddevice", root) == CXmlHelper::kOk) {
        pugi::xml_node device;
        std::string xpath = "/detecteddevice/device[@imei=" + CXmlHelper::xpathLiteral(imei) + "]";
        if (xml.GetNode(xpath, device) == CXmlHelper::kOk) {
            xml.RemoveAssignNode(root, device);
        }
    }
    xml.SaveXml(path);
    return true;
}
