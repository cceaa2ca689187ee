// The one system-specific question of the USB tree reader: whether this
// process can use a device's node (DEV_ROOT/bus/usb/BBB/DDD) now.
#pragma once

#include <string>

namespace dd::platform {

// True when nodePath is there and readable and writable by this process,
// and, when realSysfs is set, the system's device manager has finished
// setting up the device at sysPath (permissions and links come after the
// device shows up).
bool usbNodeUsable(const std::string& nodePath, const std::string& sysPath, bool realSysfs);

}  // namespace dd::platform
