#include "platform/serial_sysfs.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/paths.h"
#include "platform/usb_sysfs.h"

namespace fs = std::filesystem;

namespace dd::platform {

bool isUsbTtyName(std::string_view name) {
    for (std::string_view prefix : {"ttyACM", "ttyUSB"}) {
        if (name.substr(0, prefix.size()) == prefix) {
            std::string_view digits = name.substr(prefix.size());
            return !digits.empty() && digits.size() <= 4 &&
                   digits.find_first_not_of("0123456789") == std::string_view::npos;
        }
    }
    return false;
}

namespace {

// A tty directly under dir/tty/, or one level down (dir/ttyUSB0/tty/ttyUSB0).
std::string ttyBelow(const fs::path& interfaceDir) {
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(interfaceDir / "tty", ec)) {
        names.push_back(entry.path().filename().string());
    }
    if (names.empty()) {
        for (const auto& entry : fs::directory_iterator(interfaceDir, ec)) {
            std::string name = entry.path().filename().string();
            if (isUsbTtyName(name) && fs::is_directory(entry.path() / "tty" / name, ec)) {
                names.push_back(name);
            }
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (isUsbTtyName(name)) {
            return name;
        }
    }
    return {};
}

}  // namespace

std::string usbDeviceTty(const std::string& sysfsRoot, const std::string& deviceName) {
    if (!UsbSysfs::isValidHubPath(deviceName) || deviceName.compare(0, 3, "usb") == 0) {
        return {};
    }
    fs::path deviceDir = fs::path(joinPath(sysfsRoot, "bus/usb/devices")) / deviceName;
    std::error_code ec;
    std::vector<fs::path> interfaces;
    for (const auto& entry : fs::directory_iterator(deviceDir, ec)) {
        std::string name = entry.path().filename().string();
        if (name.compare(0, deviceName.size() + 1, deviceName + ":") == 0) {
            interfaces.push_back(entry.path());
        }
    }
    std::sort(interfaces.begin(), interfaces.end());
    for (const fs::path& interfaceDir : interfaces) {
        std::string tty = ttyBelow(interfaceDir);
        if (!tty.empty()) {
            return tty;
        }
    }
    return {};
}

namespace {

// The device whose interface holds the tty, by the path class/tty/NAME
// leads to; empty when the path names no interface (the link could not be
// resolved: Windows shows a fake tree's links as plain folders).
std::string deviceOnLinkPath(const fs::path& target) {
    std::vector<std::string> parts;
    for (const auto& part : target) {
        parts.push_back(part.string());
    }
    for (size_t i = parts.size(); i-- > 1;) {
        const std::string& part = parts[i];
        size_t colon = part.find(':');
        if (colon != std::string::npos) {
            std::string device = parts[i - 1];
            if (part.compare(0, colon, device) == 0 && UsbSysfs::isValidHubPath(device) &&
                device.compare(0, 3, "usb") != 0) {
                return device;
            }
            return {};
        }
    }
    return {};
}

}  // namespace

std::string ttyUsbDevice(const std::string& sysfsRoot, const std::string& ttyName) {
    if (!isUsbTtyName(ttyName)) {
        return {};
    }
    std::error_code ec;
    fs::path link = fs::path(joinPath(sysfsRoot, "class/tty")) / ttyName;
    fs::path target = fs::canonical(link, ec);
    if (ec) {
        return {};
    }
    std::string device = deviceOnLinkPath(target);
    if (!device.empty() || target != fs::absolute(link, ec).lexically_normal()) {
        return device;
    }
    // The link was not resolved: ask each device which tty it carries.
    for (const auto& entry :
         fs::directory_iterator(fs::path(joinPath(sysfsRoot, "bus/usb/devices")), ec)) {
        std::string name = entry.path().filename().string();
        if (name.find(':') == std::string::npos && usbDeviceTty(sysfsRoot, name) == ttyName) {
            return name;
        }
    }
    return {};
}

bool splitUsbDeviceName(const std::string& deviceName, std::string& hubPath, int& port) {
    if (!UsbSysfs::isValidHubPath(deviceName) || deviceName.compare(0, 3, "usb") == 0) {
        return false;
    }
    size_t dot = deviceName.rfind('.');
    size_t dash = deviceName.find('-');
    std::string portText;
    if (dot != std::string::npos) {
        hubPath = deviceName.substr(0, dot);
        portText = deviceName.substr(dot + 1);
    } else if (dash != std::string::npos) {
        hubPath = "usb" + deviceName.substr(0, dash);
        portText = deviceName.substr(dash + 1);
    } else {
        return false;
    }
    if (portText.empty() || portText.size() > 3 ||
        portText.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    port = std::stoi(portText);
    return port >= 1;
}

std::string ttyNodePath(const std::string& devRoot, const std::string& ttyName) {
    return joinPath(devRoot, ttyName);
}

}  // namespace dd::platform
