#include "fake_usb_tree.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace phonesim {

namespace {

std::string hex2(uint8_t value) {
    char text[4];
    std::snprintf(text, sizeof(text), "%02x", value);
    return text;
}

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04x", value);
    return text;
}

std::string nodeRelative(int bus, int devnum) {
    char text[32];
    std::snprintf(text, sizeof(text), "bus/usb/%03d/%03d", bus, devnum);
    return text;
}

void writeText(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The attributes a device directory gets, before overrides.
std::map<std::string, std::optional<std::string>> deviceAttributes(const FakeUsbDevice& device,
                                                                   int bus, int devnum, bool isHub,
                                                                   int hubPorts,
                                                                   const std::string& devpath) {
    std::string node = nodeRelative(bus, devnum);
    std::map<std::string, std::optional<std::string>> attributes = {
        {"idVendor", hex4(device.vid) + "\n"},
        {"idProduct", hex4(device.pid) + "\n"},
        {"bDeviceClass", std::string(isHub ? "09" : "00") + "\n"},
        {"maxchild", std::to_string(isHub ? hubPorts : 0) + "\n"},
        {"busnum", std::to_string(bus) + "\n"},
        {"devnum", std::to_string(devnum) + "\n"},
        {"devpath", devpath + "\n"},
        {"uevent", "MAJOR=189\nDEVNAME=" + node + "\nDEVTYPE=usb_device\nPRODUCT=" +
                       hex4(device.vid) + "/" + hex4(device.pid) +
                       "/100\nBUSNUM=" + node.substr(8, 3) + "\nDEVNUM=" + node.substr(12) + "\n"},
    };
    if (!device.serial.empty()) {
        attributes["serial"] = device.serial + "\n";
    }
    if (!device.manufacturer.empty()) {
        attributes["manufacturer"] = device.manufacturer + "\n";
    }
    if (!device.product.empty()) {
        attributes["product"] = device.product + "\n";
    }
    for (const auto& [name, value] : device.overrides) {
        attributes[name] = value;
    }
    return attributes;
}

void writeInterface(const fs::path& dir, const FakeUsbInterface& iface, int number) {
    fs::create_directory(dir);
    writeText(dir / "bInterfaceClass", hex2(iface.cls) + "\n");
    writeText(dir / "bInterfaceSubClass", hex2(iface.subClass) + "\n");
    writeText(dir / "bInterfaceProtocol", hex2(iface.protocol) + "\n");
    writeText(dir / "bInterfaceNumber", hex2(static_cast<uint8_t>(number)) + "\n");
    writeText(dir / "uevent", "DEVTYPE=usb_interface\n");
    if (!iface.label.empty()) {
        writeText(dir / "interface", iface.label + "\n");
    }
}

}  // namespace

FakeUsbTree::FakeUsbTree(std::string sysfsRoot, std::string devRoot)
    : m_sysfs(std::move(sysfsRoot)), m_dev(std::move(devRoot)) {
    std::error_code ec;
    fs::create_directories(fs::path(m_sysfs) / "bus/usb/devices", ec);
    fs::create_directories(fs::path(m_sysfs) / "devices/platform", ec);
    fs::create_directories(fs::path(m_dev) / "bus/usb", ec);
}

bool FakeUsbTree::parse(const std::string& port, Name& out) {
    Name name;
    size_t dash = port.find('-');
    if (dash == std::string::npos || dash == 0) {
        return false;
    }
    try {
        size_t used = 0;
        name.bus = std::stoi(port.substr(0, dash), &used);
        if (used != dash || name.bus < 1 || name.bus > 999) {
            return false;
        }
        for (size_t start = dash + 1; start <= port.size();) {
            size_t dot = port.find('.', start);
            std::string piece =
                port.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
            int value = std::stoi(piece, &used);
            if (used != piece.size() || value < 1 || value > 255) {
                return false;
            }
            name.ports.push_back(value);
            if (dot == std::string::npos) {
                break;
            }
            start = dot + 1;
        }
    } catch (const std::exception&) {
        return false;
    }
    if (name.ports.empty() || name.ports.size() > 7) {
        return false;
    }
    out = std::move(name);
    return true;
}

std::string FakeUsbTree::rootDir(int bus) const {
    return m_sysfs + "/devices/platform/dummy_hcd." + std::to_string(bus - 1) + "/usb" +
           std::to_string(bus);
}

std::string FakeUsbTree::dirOf(const Name& name) const {
    std::string dir = rootDir(name.bus);
    std::string prefix = std::to_string(name.bus) + "-";
    for (size_t i = 0; i < name.ports.size(); ++i) {
        prefix += (i == 0 ? "" : ".") + std::to_string(name.ports[i]);
        dir += "/" + prefix;
    }
    return dir;
}

std::string FakeUsbTree::parentName(const Name& name) const {
    if (name.ports.size() == 1) {
        return "usb" + std::to_string(name.bus);
    }
    std::string parent = std::to_string(name.bus) + "-";
    for (size_t i = 0; i + 1 < name.ports.size(); ++i) {
        parent += (i == 0 ? "" : ".") + std::to_string(name.ports[i]);
    }
    return parent;
}

std::string FakeUsbTree::linkPath(const std::string& name) const {
    return m_sysfs + "/bus/usb/devices/" + name;
}

std::string FakeUsbTree::deviceDir(const std::string& port) const {
    Name name;
    if (parse(port, name)) {
        return dirOf(name);
    }
    if (port.compare(0, 3, "usb") == 0 && port.size() > 3 &&
        port.find_first_not_of("0123456789", 3) == std::string::npos) {
        return rootDir(std::stoi(port.substr(3)));
    }
    return {};
}

std::string FakeUsbTree::nodePath(const std::string& port) const {
    std::string dir = deviceDir(port);
    if (dir.empty()) {
        return {};
    }
    std::string bus = readFirstLine(dir + "/busnum");
    std::string dev = readFirstLine(dir + "/devnum");
    try {
        return m_dev + "/" + nodeRelative(std::stoi(bus), std::stoi(dev));
    } catch (const std::exception&) {
        return {};
    }
}

int FakeUsbTree::portCountOf(const std::string& hubName) const {
    std::error_code ec;
    if (!fs::is_symlink(linkPath(hubName), ec)) {
        return -1;
    }
    try {
        return std::stoi(readFirstLine(linkPath(hubName) + "/maxchild"));
    } catch (const std::exception&) {
        return -1;
    }
}

int FakeUsbTree::allocateDevnum(int bus) const {
    // Like the kernel: every plug takes the next number on the bus, also when
    // an earlier number is free again, so a device plugged in again is never
    // mistaken for the one before. The root hub is 1; after 127 it wraps.
    // The counter lives beside the root hub's attributes.
    fs::path counter = fs::path(rootDir(bus)) / ".phonesim-last-devnum";
    int last = 1;
    try {
        last = std::stoi(readFirstLine(counter));
    } catch (const std::exception&) {
    }
    int next = last >= 127 ? 2 : last + 1;
    writeText(counter, std::to_string(next) + "\n");
    return next;
}

bool FakeUsbTree::addRootHub(int bus, int ports) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return addRootHubLocked(bus, ports);
}

bool FakeUsbTree::addRootHubLocked(int bus, int ports) {
    std::string name = "usb" + std::to_string(bus);
    std::error_code ec;
    if (bus < 1 || bus > 999 || ports < 0 || ports > 255 || fs::exists(linkPath(name), ec)) {
        return false;
    }
    fs::path dir = rootDir(bus);
    fs::create_directories(dir, ec);
    FakeUsbDevice root;
    root.vid = 0x1d6b;
    root.pid = 0x0002;
    root.manufacturer = "Linux";
    root.product = "Dummy host controller";
    for (const auto& [attribute, value] : deviceAttributes(root, bus, 1, true, ports, "0")) {
        writeText(dir / attribute, *value);
    }
    writeInterface(dir / (std::to_string(bus) + "-0:1.0"), {0x09, 0x00, 0x00, ""}, 0);
    fs::create_directories(fs::path(m_dev) / nodeRelative(bus, 1).substr(0, 11), ec);
    writeText(fs::path(m_dev) / nodeRelative(bus, 1), "");
    fs::create_directory_symlink(fs::relative(dir, fs::path(linkPath(""))), linkPath(name), ec);
    return !ec;
}

bool FakeUsbTree::addHub(const std::string& port, int ports) {
    FakeUsbDevice hub;
    hub.port = port;
    hub.vid = 0x05e3;
    hub.pid = 0x0610;
    hub.manufacturer = "GenesysLogic";
    hub.product = "USB2.1 Hub";
    hub.adb = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    return ports >= 0 && ports <= 255 && plugLocked(hub, true, ports);
}

bool FakeUsbTree::plug(const FakeUsbDevice& device) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return plugLocked(device, false, 0);
}

bool FakeUsbTree::plugLocked(const FakeUsbDevice& device, bool isHub, int hubPorts) {
    Name name;
    if (!parse(device.port, name)) {
        return false;
    }
    std::error_code ec;
    std::string parent = parentName(name);
    if (name.ports.size() == 1 && !fs::exists(linkPath(parent), ec)) {
        addRootHubLocked(name.bus, kDefaultRootPorts);
    }
    fs::path finalDir = dirOf(name);
    if (portCountOf(parent) < 0 || fs::exists(finalDir, ec) ||
        fs::is_symlink(linkPath(device.port), ec)) {
        return false;
    }
    int devnum = allocateDevnum(name.bus);
    std::string devpath = device.port.substr(device.port.find('-') + 1);

    fs::path temp =
        finalDir.parent_path() / (".plug-" + device.port + "-" + std::to_string(getpid()) + "-" +
                                  std::to_string(++m_tempCounter));
    if (!fs::create_directory(temp, ec)) {
        return false;
    }
    for (const auto& [attribute, value] :
         deviceAttributes(device, name.bus, devnum, isHub, hubPorts, devpath)) {
        if (value) {
            writeText(temp / attribute, *value);
        }
    }
    for (const std::string& attribute : device.unreadable) {
        fs::remove(temp / attribute, ec);
        fs::create_directory(temp / attribute, ec);
    }
    std::vector<FakeUsbInterface> interfaces;
    if (isHub) {
        interfaces.push_back({0x09, 0x00, 0x00, ""});
    }
    if (device.mtp) {
        interfaces.push_back({kMtpClass[0], kMtpClass[1], kMtpClass[2], "MTP"});
    }
    if (device.adb) {
        interfaces.push_back({kAdbClass[0], kAdbClass[1], kAdbClass[2], "ADB Interface"});
    }
    size_t ttyInterface = interfaces.size();
    if (!device.tty.empty()) {
        interfaces.push_back({0x02, 0x02, 0x01, "CDC Abstract Control Model"});
        interfaces.push_back({0x0a, 0x00, 0x00, "CDC Data"});
    }
    interfaces.insert(interfaces.end(), device.extraInterfaces.begin(),
                      device.extraInterfaces.end());
    std::vector<std::string> interfaceNames;
    for (size_t i = 0; i < interfaces.size(); ++i) {
        interfaceNames.push_back(device.port + ":1." + std::to_string(i));
        writeInterface(temp / interfaceNames.back(), interfaces[i], static_cast<int>(i));
    }
    if (!device.tty.empty()) {
        fs::path ttyDir = temp / interfaceNames[ttyInterface] / "tty" / device.tty;
        fs::create_directories(ttyDir, ec);
        writeText(ttyDir / "dev", "166:0\n");
        writeText(ttyDir / "uevent", "MAJOR=166\nMINOR=0\nDEVNAME=" + device.tty + "\n");
    }
    if (device.node) {
        fs::path node = fs::path(m_dev) / nodeRelative(name.bus, devnum);
        fs::create_directories(node.parent_path(), ec);
        writeText(node, "");
        fs::permissions(node,
                        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::group_write | fs::perms::others_read |
                            fs::perms::others_write,
                        ec);
    }
    fs::rename(temp, finalDir, ec);
    if (ec) {
        fs::remove_all(temp, ec);
        return false;
    }
    fs::path linkDir = linkPath("");
    if (!device.tty.empty()) {
        fs::path classDir = fs::path(m_sysfs) / "class/tty";
        fs::create_directories(classDir, ec);
        fs::path ttyDir = finalDir / interfaceNames[ttyInterface] / "tty" / device.tty;
        fs::create_directory_symlink(fs::relative(ttyDir, classDir), classDir / device.tty, ec);
        fs::path node = fs::path(m_dev) / device.tty;
        fs::remove(node, ec);
        if (device.ttyNode.empty()) {
            writeText(node, "");
        } else {
            fs::create_symlink(device.ttyNode, node, ec);
        }
    }
    for (const std::string& iface : interfaceNames) {
        fs::create_directory_symlink(fs::relative(finalDir / iface, linkDir), linkPath(iface), ec);
    }
    fs::create_directory_symlink(fs::relative(finalDir, linkDir), linkPath(device.port), ec);
    return !ec;
}

bool FakeUsbTree::unplug(const std::string& port) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Name name;
    std::error_code ec;
    if (!parse(port, name) || !fs::is_symlink(linkPath(port), ec)) {
        return false;
    }
    // The device's own link goes first: from then on it is gone for a reader.
    fs::remove(linkPath(port), ec);
    std::vector<std::string> below;
    for (const auto& entry : fs::directory_iterator(linkPath(""), ec)) {
        std::string entryName = entry.path().filename().string();
        if (entryName.compare(0, port.size() + 1, port + ".") == 0 ||
            entryName.compare(0, port.size() + 1, port + ":") == 0) {
            below.push_back(entryName);
        }
    }
    for (const std::string& entryName : below) {
        if (entryName.find(':') == std::string::npos) {
            std::string node = nodePath(entryName);
            if (!node.empty()) {
                fs::remove(node, ec);
            }
        }
        fs::remove(linkPath(entryName), ec);
    }
    std::string node = nodePath(port);
    if (!node.empty()) {
        fs::remove(node, ec);
    }
    fs::path dir = dirOf(name);
    // Serial ports below the device go with it: their class link and node.
    std::vector<std::string> ttys;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path().filename() == "tty" && it->is_directory(ec)) {
            for (const auto& entry : fs::directory_iterator(it->path(), ec)) {
                ttys.push_back(entry.path().filename().string());
            }
        }
    }
    for (const std::string& tty : ttys) {
        fs::remove(fs::path(m_sysfs) / "class/tty" / tty, ec);
        fs::remove(fs::path(m_dev) / tty, ec);
    }
    ec.clear();
    fs::path temp = dir.parent_path() / (".unplug-" + port + "-" + std::to_string(++m_tempCounter));
    fs::rename(dir, temp, ec);
    fs::remove_all(ec ? dir : temp, ec);
    return true;
}

bool FakeUsbTree::isPlugged(const std::string& port) const {
    std::error_code ec;
    return fs::is_symlink(linkPath(port), ec);
}

std::vector<std::string> FakeUsbTree::pluggedPorts() const {
    std::vector<std::string> ports;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(linkPath(""), ec)) {
        std::string entryName = entry.path().filename().string();
        Name name;
        if (entryName.find(':') == std::string::npos && parse(entryName, name)) {
            ports.push_back(entryName);
        }
    }
    return ports;
}

void FakeUsbTree::writeAttribute(const std::string& port, const std::string& name,
                                 const std::string& content) {
    std::string dir = deviceDir(port);
    if (!dir.empty() && name.find('/') == std::string::npos) {
        writeText(fs::path(dir) / name, content);
    }
}

void FakeUsbTree::removeAttribute(const std::string& port, const std::string& name) {
    std::string dir = deviceDir(port);
    std::error_code ec;
    if (!dir.empty() && name.find('/') == std::string::npos) {
        fs::remove(fs::path(dir) / name, ec);
    }
}

}  // namespace phonesim
