#include "deviceinfo/supported_devices.h"

#include <cstdio>
#include <cstdlib>

#include "log/log_stream.h"

void CSupportedDevices::loadSupportedIds(const std::string& path) {
    m_dwSupportedIds.clear();
    CXmlHelper doc;
    if (doc.LoadFromFile(path) != CXmlHelper::kOk) {
        DD_LOG(LOG_CRIT) << "not find " << path;
        return;
    }
    std::vector<CXmlNode> devices;
    doc.GetNodeList("/orqsupportdevice/device", devices);
    DD_LOG(LOG_DEBUG) << static_cast<unsigned long>(devices.size()) << " device record in " << path;
    for (const CXmlNode& device : devices) {
        uint32_t vid = parseHexId(getAttribute(device, "vid")) & 0xFFFF;
        uint32_t pid = parseHexId(getAttribute(device, "pid")) & 0xFFFF;
        m_dwSupportedIds.push_back((vid << 16) | pid);
    }
}

int CSupportedDevices::doesDeviceSupport(uint32_t vid, uint32_t pid) const {
    uint32_t key = (vid << 16) | (pid & 0xFFFF);
    int ret = 0;
    for (uint32_t id : m_dwSupportedIds) {
        if (id == key) {
            ret = 1;
            break;
        }
    }
    DD_LOG(LOG_DEBUG) << "doesDeviceSupport vid=" << std::hex << vid << " pid=" << pid
                      << "1 serach result ret = " << ret << "2 serach result ret = " << ret;
    return ret;
}

bool CSupportedDevices::findDeviceNode(const std::string& path, uint32_t vid, uint32_t pid,
                                       CXmlHelper& doc, CXmlNode& node, bool* loadFailed) {
    node = CXmlNode();
    if (loadFailed != nullptr) {
        *loadFailed = false;
    }
    if (doc.LoadFromFile(path) != CXmlHelper::kOk) {
        DD_LOG(LOG_CRIT) << "not find " << path;
        if (loadFailed != nullptr) {
            *loadFailed = true;
        }
        return false;
    }
    char xpath[128];
    std::snprintf(xpath, sizeof(xpath), "/orqsupportdevice/device[@vid='%04x'and @pid='%04x']",
                  vid & 0xFFFF, pid & 0xFFFF);
    return doc.GetNode(xpath, node) == CXmlHelper::kOk;
}

std::string CSupportedDevices::getAttribute(const CXmlNode& node, const char* name) {
    return node.attribute(name);
}

uint32_t CSupportedDevices::parseHexId(const std::string& text) {
    const char* p = text.c_str();
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') {
        ++p;
    }
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
    }
    uint32_t value = 0;
    for (; *p != 0; ++p) {
        int digit;
        if (*p >= '0' && *p <= '9') {
            digit = *p - '0';
        } else if (*p >= 'a' && *p <= 'f') {
            digit = *p - 'a' + 10;
        } else if (*p >= 'A' && *p <= 'F') {
            digit = *p - 'A' + 10;
        } else {
            break;
        }
        value = (value << 4) | static_cast<uint32_t>(digit);  // only the low 16 bits are kept
    }
    return value;
}
