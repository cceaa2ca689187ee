#include "platform/usb_sysfs.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <unordered_map>

#include "platform/paths.h"
#include "platform/usb_node.h"
#include "platform/usb_system.h"

namespace dd::platform {

namespace {

constexpr size_t kAttributeLimit = 4096;  // a sysfs attribute is at most a page
constexpr int kMaxBus = 999;
constexpr int kMaxPort = 255;  // a hub reports its port count in one byte
constexpr int kMaxDepth = 7;   // USB allows at most 7 tiers below the root

// Paths are UTF-8 on every system; a plain std::string would be read in the
// ANSI code page on Windows.
std::filesystem::path fsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The names in a folder, in the folder's order; empty when it cannot be
// read. Links are not followed for the listing itself (a fake tree's entries
// are links, as on a real machine).
std::vector<std::string> entryNames(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(fsPath(path), ec), end; !ec && it != end;
         it.increment(ec)) {
        std::u8string name = it->path().filename().u8string();
        names.emplace_back(name.begin(), name.end());
    }
    return names;
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(fsPath(path), ec);
}

// Parses 1..maxDigits decimal digits and nothing else.
bool parseDecimal(std::string_view text, size_t maxDigits, int& out) {
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

// Parses 1..maxDigits hex digits and nothing else.
bool parseHex(std::string_view text, size_t maxDigits, uint32_t& out) {
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    uint32_t value = 0;
    for (char c : text) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        value = (value << 4) | digit;
    }
    out = value;
    return true;
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() &&
           (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y) {
            return false;
        }
    }
    return true;
}

// Cuts UTF-8 text to at most limit bytes without splitting a character.
std::string cutUtf8(std::string_view text, size_t limit) {
    if (text.size() <= limit) {
        return std::string(text);
    }
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return std::string(text.substr(0, cut));
}

bool isRootHubName(std::string_view name, int* bus = nullptr) {
    int value = 0;
    if (name.size() < 4 || name.substr(0, 3) != "usb" || !parseDecimal(name.substr(3), 3, value) ||
        value < 1) {
        return false;
    }
    if (bus != nullptr) {
        *bus = value;
    }
    return true;
}

// "B-P[.P...]": the parent hub's name and the port on it. False for root
// hubs, interfaces and anything malformed.
bool parseDeviceName(std::string_view name, std::string* parent, int* port) {
    size_t dash = name.find('-');
    int bus = 0;
    if (dash == std::string_view::npos || !parseDecimal(name.substr(0, dash), 3, bus) || bus < 1 ||
        bus > kMaxBus) {
        return false;
    }
    std::string_view ports = name.substr(dash + 1);
    int depth = 0;
    int last = 0;
    size_t lastStart = 0;
    for (size_t start = 0;;) {
        size_t dot = ports.find('.', start);
        std::string_view piece =
            ports.substr(start, dot == std::string_view::npos ? dot : dot - start);
        int value = 0;
        if (!parseDecimal(piece, 3, value) || value < 1 || value > kMaxPort ||
            ++depth > kMaxDepth) {
            return false;
        }
        last = value;
        lastStart = start;
        if (dot == std::string_view::npos) {
            break;
        }
        start = dot + 1;
    }
    if (parent != nullptr) {
        *parent = depth == 1 ? "usb" + std::to_string(bus)
                             : std::string(name.substr(0, dash + 1 + lastStart - 1));
    }
    if (port != nullptr) {
        *port = last;
    }
    return true;
}

}  // namespace

UsbSysfs::UsbSysfs(std::string sysfsRoot, std::string devRoot)
    : m_devicesDir(joinPath(sysfsRoot, "bus/usb/devices")), m_devRoot(std::move(devRoot)) {
    m_realSysfs = sysfsRoot == "/sys" || sysfsRoot == "/sys/";
    m_systemQueries = sysfsRoot.empty();
    if (m_systemQueries) {
        m_devicesDir.clear();  // never a folder relative to wherever the process runs
    }
}

bool UsbSysfs::isValidHubPath(std::string_view hubPath) {
    return isRootHubName(hubPath) || parseDeviceName(hubPath, nullptr, nullptr);
}

bool UsbSysfs::acceptsHubPath(std::string_view hubPath) const {
    return m_systemQueries ? isSystemHubPath(hubPath) : isValidHubPath(hubPath);
}

std::string UsbSysfs::portDeviceName(std::string_view hubPath, int port) {
    if (port < 1 || port > kMaxPort) {
        return {};
    }
    if (isSystemHubPath(hubPath)) {
        return std::string(hubPath) + "#" + std::to_string(port);
    }
    int bus = 0;
    std::string name = isRootHubName(hubPath, &bus)
                           ? std::to_string(bus) + "-" + std::to_string(port)
                           : std::string(hubPath) + "." + std::to_string(port);
    return parseDeviceName(name, nullptr, nullptr) ? name : std::string();
}

bool UsbSysfs::readAttribute(const std::string& deviceName, const char* attribute,
                             std::string& out) const {
    std::string raw;
    if (m_systemQueries) {
        return false;
    }
    if (!readFileBounded(joinPath(joinPath(m_devicesDir, deviceName), attribute), kAttributeLimit,
                         raw)) {
        return false;
    }
    // One value per file; a value never spans lines.
    std::string_view text(raw);
    text = text.substr(0, text.find('\n'));
    out = std::string(trimBlanks(text));
    return true;
}

bool UsbSysfs::readIds(const std::string& deviceName, uint16_t& vid, uint16_t& pid) const {
    std::string vidText;
    std::string pidText;
    uint32_t v = 0;
    uint32_t p = 0;
    if (!readAttribute(deviceName, "idVendor", vidText) ||
        !readAttribute(deviceName, "idProduct", pidText) || !parseHex(vidText, 4, v) ||
        !parseHex(pidText, 4, p)) {
        return false;
    }
    vid = static_cast<uint16_t>(v);
    pid = static_cast<uint16_t>(p);
    return true;
}

bool UsbSysfs::readHexByte(const std::string& entry, const char* attribute, uint8_t& out) const {
    std::string text;
    uint32_t value = 0;
    if (!readAttribute(entry, attribute, text) || !parseHex(text, 2, value)) {
        return false;
    }
    out = static_cast<uint8_t>(value);
    return true;
}

bool UsbSysfs::isRootHubPath(std::string_view hubPath) {
    return isRootHubName(hubPath);
}

std::vector<UsbPortDevice> UsbSysfs::listPortDevices(std::vector<std::string>* incomplete) const {
    if (m_systemQueries) {
        return systemListPortDevices();
    }
    std::vector<UsbPortDevice> devices;
    std::unordered_map<std::string, int> portCounts;  // hub -> maxchild, -1 unreadable
    for (std::string& name : entryNames(m_devicesDir)) {
        UsbPortDevice device;
        if (name.find(':') != std::string::npos ||
            !parseDeviceName(name, &device.hubPath, &device.port)) {
            continue;
        }
        auto [slot, added] = portCounts.try_emplace(device.hubPath, -1);
        if (added && hubPortCount(device.hubPath, slot->second) != usb_error::kOk) {
            slot->second = -1;
        }
        if (device.port > slot->second || !readIds(name, device.vid, device.pid)) {
            if (incomplete != nullptr) {
                incomplete->push_back(std::move(name));
            }
            continue;  // orphan, beyond the hub's ports, or half written
        }
        uint8_t deviceClass = 0;
        device.isHub = readHexByte(name, "bDeviceClass", deviceClass) && deviceClass == 0x09;
        device.name = std::move(name);
        devices.push_back(std::move(device));
    }
    return devices;
}

UsbSysfs::Named UsbSysfs::portDeviceNamed(const std::string& name, UsbPortDevice& out) const {
    if (m_systemQueries) {
        UsbInstanceId id;
        if (!parseUsbInterfacePath(name, id)) {
            return Named::kNotAPort;
        }
        return systemPortDeviceNamed(name, out) ? Named::kFound : Named::kUnresolved;
    }
    std::string hubPath;
    int port = 0;
    if (name.find(':') != std::string::npos || !parseDeviceName(name, &hubPath, &port)) {
        return Named::kNotAPort;
    }
    if (!exists(joinPath(m_devicesDir, name))) {
        return Named::kGone;
    }
    int ports = 0;
    if (hubPortCount(hubPath, ports) != usb_error::kOk || port > ports ||
        portConnection(hubPath, port, out) != usb_error::kOk) {
        return Named::kIncomplete;
    }
    return Named::kFound;
}

int UsbSysfs::hubPortCount(const std::string& hubPath, int& ports) const {
    if (!acceptsHubPath(hubPath)) {
        return usb_error::kInvalidParameter;
    }
    if (m_systemQueries) {
        return systemHubPortCount(hubPath, ports);
    }
    if (!exists(joinPath(m_devicesDir, hubPath))) {
        return usb_error::kFileNotFound;
    }
    std::string text;
    int value = 0;
    if (!readAttribute(hubPath, "maxchild", text) || !parseDecimal(text, 3, value) ||
        value > kMaxPort) {
        return usb_error::kGenFailure;
    }
    ports = value;
    return usb_error::kOk;
}

int UsbSysfs::portConnection(const std::string& hubPath, int port, UsbPortDevice& out) const {
    if (!acceptsHubPath(hubPath)) {
        return usb_error::kInvalidParameter;
    }
    std::string name = portDeviceName(hubPath, port);
    if (name.empty()) {
        return usb_error::kInvalidParameter;
    }
    if (m_systemQueries) {
        return systemPortConnection(hubPath, port, out);
    }
    UsbPortDevice device;
    if (!readIds(name, device.vid, device.pid)) {
        return usb_error::kDeviceNotConnected;
    }
    uint8_t deviceClass = 0;
    device.isHub = readHexByte(name, "bDeviceClass", deviceClass) && deviceClass == 0x09;
    std::string devnumText;
    if (!readAttribute(name, "devnum", devnumText) || !parseDecimal(devnumText, 3, device.devnum)) {
        device.devnum = 0;
    }
    device.hubPath = hubPath;
    device.port = port;
    device.name = std::move(name);
    out = std::move(device);
    return usb_error::kOk;
}

int UsbSysfs::serialNumber(const std::string& hubPath, int port, std::string& out) const {
    std::string name = portDeviceName(hubPath, port);
    if (!acceptsHubPath(hubPath) || name.empty()) {
        return usb_error::kInvalidParameter;
    }
    if (m_systemQueries) {
        return systemSerialNumber(hubPath, port, out);
    }
    if (!exists(joinPath(m_devicesDir, name))) {
        return usb_error::kDeviceNotConnected;
    }
    std::string serial;
    if (!readAttribute(name, "serial", serial)) {
        return usb_error::kGenFailure;
    }
    out = cutUtf8(serial, kMaxSerialBytes);
    return usb_error::kOk;
}

std::vector<UsbSysfs::Interface> UsbSysfs::interfacesOf(const std::string& deviceName) const {
    std::vector<Interface> interfaces;
    std::string prefix = deviceName + ":";
    for (const std::string& name : entryNames(joinPath(m_devicesDir, deviceName))) {
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        std::string entryPath = deviceName + "/" + name;
        Interface iface;
        if (!readHexByte(entryPath, "bInterfaceClass", iface.cls) ||
            !readHexByte(entryPath, "bInterfaceSubClass", iface.subClass) ||
            !readHexByte(entryPath, "bInterfaceProtocol", iface.protocol)) {
            continue;
        }
        readAttribute(entryPath, "interface", iface.label);
        interfaces.push_back(std::move(iface));
    }
    return interfaces;
}

bool UsbSysfs::deviceMatches(const std::string& name, const std::string& serial, uint16_t vid,
                             uint16_t pid) const {
    uint16_t v = 0;
    uint16_t p = 0;
    std::string s;
    return name.find(':') == std::string::npos && parseDeviceName(name, nullptr, nullptr) &&
           readIds(name, v, p) && v == vid && p == pid && readAttribute(name, "serial", s) &&
           equalsNoCase(cutUtf8(s, kMaxSerialBytes), serial);
}

std::vector<std::string> UsbSysfs::devicesMatching(const std::string& serial, uint16_t vid,
                                                   uint16_t pid, const std::string& likely) const {
    std::vector<std::string> names;
    if (serial.empty()) {
        return names;
    }
    if (!likely.empty()) {
        if (deviceMatches(likely, serial, vid, pid)) {
            names.push_back(likely);
            return names;
        }
        if (!exists(joinPath(m_devicesDir, likely))) {
            // The phone has left its port: its thread's presence check
            // ends it. Scanning a large tree at every unplug would cost
            // more than the whole rest of the unplug.
            return names;
        }
    }
    for (std::string& name : entryNames(m_devicesDir)) {
        if (deviceMatches(name, serial, vid, pid)) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

std::string UsbSysfs::deviceNodePath(const std::string& deviceName) const {
    std::string busText;
    std::string devText;
    int bus = 0;
    int dev = 0;
    if (!readAttribute(deviceName, "busnum", busText) ||
        !readAttribute(deviceName, "devnum", devText) || !parseDecimal(busText, 3, bus) ||
        !parseDecimal(devText, 3, dev) || bus < 1 || dev < 1) {
        return {};
    }
    char relative[32];
    std::snprintf(relative, sizeof(relative), "bus/usb/%03d/%03d", bus, dev);
    return joinPath(m_devRoot, relative);
}

bool UsbSysfs::nodeUsable(const std::string& deviceName) const {
    std::string node = deviceNodePath(deviceName);
    return !node.empty() && usbNodeUsable(node, joinPath(m_devicesDir, deviceName), m_realSysfs);
}

int UsbSysfs::adbInterfaceState(const std::string& serial, uint16_t vid, uint16_t pid,
                                const std::string& likely) const {
    if (m_systemQueries) {
        return serial.empty() ? kUsbDriverNotFound
                              : systemUsbDriverState(vid, pid, serial, kAdbInterfaceClass);
    }
    int state = kUsbDriverNotFound;
    for (const std::string& name : devicesMatching(serial, vid, pid, likely)) {
        for (const Interface& iface : interfacesOf(name)) {
            if (iface.cls == 0xff && iface.subClass == 0x42 && iface.protocol == 0x01) {
                state = nodeUsable(name) ? kUsbDriverWorking : kUsbDriverProblem;
            }
        }
    }
    return state;
}

int UsbSysfs::mtpInterfaceState(const std::string& serial, uint16_t vid, uint16_t pid,
                                const std::string& likely) const {
    if (m_systemQueries) {
        return serial.empty() ? kUsbDriverNotFound
                              : systemUsbDriverState(vid, pid, serial, kMtpDeviceClass);
    }
    int state = kUsbDriverNotFound;
    for (const std::string& name : devicesMatching(serial, vid, pid, likely)) {
        for (const Interface& iface : interfacesOf(name)) {
            if ((iface.cls == 0x06 && iface.subClass == 0x01 && iface.protocol == 0x01) ||
                iface.label == "MTP") {
                state = kUsbDriverWorking;
            }
        }
    }
    return state;
}

}  // namespace dd::platform
