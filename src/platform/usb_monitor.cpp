#include "platform/usb_monitor.h"

#include <algorithm>

#include "platform/usb_device_ids.h"
#include "platform/usb_sysfs.h"

namespace dd::platform {

namespace {

constexpr size_t kMaxRemovedNames = 1024;
constexpr size_t kMaxDeviceNameBytes = 64;  // "B-P.P.P.P.P.P.P:C.I" is far shorter
// "\\?\USB#VID_xxxx&PID_xxxx#<instance of at most 200>#{class}".
constexpr size_t kMaxInterfacePathBytes = 300;

}  // namespace

void UsbMonitor::Changes::addRemoval(std::string_view name) {
    changed = true;
    removal = true;
    if (name.empty() || name.size() > kMaxDeviceNameBytes ||
        removedNames.size() >= kMaxRemovedNames) {
        removalUnnamed = true;
        return;
    }
    removedNames.emplace_back(name);
}

void UsbMonitor::Changes::addArrival(std::string_view name) {
    changed = true;
    // The system's own events name a device by its interface path.
    UsbInstanceId id;
    bool interfacePath = name.size() <= kMaxInterfacePathBytes && parseUsbInterfacePath(name, id);
    if (!interfacePath) {
        name = name.substr(0, name.find(':'));  // an interface stands for its device
    }
    if (name.empty() ||
        (!interfacePath &&
         (name.size() > kMaxDeviceNameBytes || !UsbSysfs::isValidHubPath(name))) ||
        arrivedNames.size() >= kMaxRemovedNames) {
        arrivalUnnamed = true;
        return;
    }
    // A device and its interfaces come in one burst: keep the name once.
    if (std::find(arrivedNames.begin(), arrivedNames.end(), name) == arrivedNames.end()) {
        arrivedNames.emplace_back(name);
    }
}

bool UsbMonitor::removalReaches(std::string_view removed, std::string_view own) {
    if (removed.empty() || own.empty()) {
        return true;  // nothing to tell them apart by
    }
    if (removed.substr(0, 3) == "usb") {
        // A root hub: every device on its bus ("usb2" holds "2-...").
        std::string bus(removed.substr(3));
        bus += '-';
        return own.substr(0, bus.size()) == bus;
    }
    removed = removed.substr(0, removed.find(':'));  // an interface stands for its device
    own = own.substr(0, own.find(':'));
    return own == removed ||
           (own.size() > removed.size() && own.substr(0, removed.size()) == removed &&
            own[removed.size()] == '.');
}

UsbMonitor::UsbMonitor() = default;

void UsbMonitor::wake() {
    // A full counter already means "woken"; nothing to do on failure.
    m_wake.signal();
}

}  // namespace dd::platform
