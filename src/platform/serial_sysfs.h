// Serial ports of USB devices as sysfs shows them. The kernel's cdc_acm
// driver puts the tty under the device's interface
// ("1-2/1-2:1.0/tty/ttyACM0"), usb-serial drivers one level deeper
// ("1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0"), and class/tty/NAME links to it. The
// node is DEV_ROOT/NAME.
#pragma once

#include <string>
#include <string_view>

namespace dd::platform {

// "ttyACM<n>" or "ttyUSB<n>" (at most 4 digits): the only names opened.
bool isUsbTtyName(std::string_view name);

// The tty of a USB device (its sysfs name), the first found in interface
// order; empty when it has none (yet).
std::string usbDeviceTty(const std::string& sysfsRoot, const std::string& deviceName);

// The USB device (sysfs name, "1-2.3") that carries a tty; empty when the
// tty is unknown or not on USB.
std::string ttyUsbDevice(const std::string& sysfsRoot, const std::string& ttyName);

// "1-2.3" is port 3 of hub "1-2"; "1-2" is port 2 of root hub "usb1".
bool splitUsbDeviceName(const std::string& deviceName, std::string& hubPath, int& port);

// DEV_ROOT/NAME.
std::string ttyNodePath(const std::string& devRoot, const std::string& ttyName);

}  // namespace dd::platform
