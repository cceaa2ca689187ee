#include "platform/usb_system.h"

#include "platform/usb_sysfs.h"

namespace dd::platform {

// Linux always has its tree (/sys); nothing to ask beside it.
int systemUsbDriverState(uint16_t, uint16_t, const std::string&, std::string_view) {
    return kUsbDriverNotFound;
}

std::vector<UsbPortDevice> systemListPortDevices() {
    return {};
}

int systemHubPortCount(const std::string&, int&) {
    return usb_error::kNotImplemented;
}

int systemPortConnection(const std::string&, int, UsbPortDevice&) {
    return usb_error::kNotImplemented;
}

int systemSerialNumber(const std::string&, int, std::string&) {
    return usb_error::kNotImplemented;
}

bool systemPortDeviceNamed(const std::string&, UsbPortDevice&) {
    return false;
}

}  // namespace dd::platform
