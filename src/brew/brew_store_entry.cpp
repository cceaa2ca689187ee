#include "brew/brew_store_entry.h"

#include <cstdio>

#include "deviceinfo/detected_device_store.h"
#include "deviceinfo/xml_helper.h"
#include "log/log_stream.h"
#include "platform/paths.h"

namespace {

std::string hex4(int value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04x", static_cast<unsigned>(value) & 0xFFFFu);
    return text;
}

void appendChild(CXmlHelper& xml, const CXmlNode& parent, const char* name,
                 const std::string& text) {
    CXmlNode child;
    xml.CreateAppendNode(parent, name, child);
    if (!text.empty()) {
        xml.SetNodeText(child, text);
    }
}

}  // namespace

bool saveBrewStoreEntry(const std::string& path, const BrewStoreEntry& entry) {
    std::lock_guard<std::mutex> guard(detectedDeviceStoreLock());
    CXmlHelper xml;
    StoreLoad load = loadDetectedDeviceStore(xml, path);
    if (load == StoreLoad::Unreadable) {
        return false;  // the other phones' entries may be in it: never overwritten
    }
    if (load != StoreLoad::Loaded) {
        xml.CreateDocument("detecteddevice");  // none yet, or the damaged one set aside
    }
    CXmlNode root;
    xml.GetNode("/detecteddevice", root);
    std::string xpath =
        "/detecteddevice/device[@imei=" + CXmlHelper::xpathLiteral(entry.imei) + "]";
    std::vector<CXmlNode> old;
    if (xml.GetNodeList(xpath, old) == CXmlHelper::kOk) {
        for (const CXmlNode& node : old) {
            xml.RemoveAssignNode(root, node);
        }
    }
    CXmlNode device;
    xml.CreateAppendNode(root, "device", device);
    xml.SetNodeAttrib(device, "devicetype", "bmp");
    xml.SetNodeAttrib(device, "imei", entry.imei);
    xml.SetNodeAttrib(device, "model", entry.model);
    xml.SetNodeAttrib(device, "commport", entry.commport);
    xml.SetNodeAttrib(device, "pid", hex4(entry.pid));
    xml.SetNodeAttrib(device, "vid", hex4(entry.vid));
    appendChild(xml, device, "factoryreset", entry.factoryReset ? "1" : "");
    appendChild(xml, device, "image", entry.image);
    appendChild(xml, device, "dll", entry.dll);
    appendChild(xml, device, "firmware", entry.firmware);
    CXmlNode battery;
    xml.CreateAppendNode(device, "battery", battery);
    xml.SetNodeAttrib(battery, "level", entry.batteryLevel);
    std::string folder = path.substr(0, path.rfind('/'));
    dd::platform::makeDirectories(folder);
    if (!xml.SaveXml(path)) {
        DD_LOG(LOG_ERR) << "cannot write " << path;
        return false;
    }
    return true;
}
