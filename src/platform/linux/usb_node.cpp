#include "platform/usb_node.h"

#include <libudev.h>
#include <unistd.h>

#include <memory>

namespace dd::platform {

namespace {

// udev marks a device initialized once its rules (permissions, symlinks) ran.
bool udevFinishedWith(const std::string& syspath) {
    std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), &udev_unref);
    if (!context) {
        return true;  // cannot ask; the node access test alone decides
    }
    std::unique_ptr<udev_device, decltype(&udev_device_unref)> device(
        udev_device_new_from_syspath(context.get(), syspath.c_str()), &udev_device_unref);
    return device && udev_device_get_is_initialized(device.get()) > 0;
}

}  // namespace

bool usbNodeUsable(const std::string& nodePath, const std::string& sysPath, bool realSysfs) {
    if (access(nodePath.c_str(), R_OK | W_OK) != 0) {
        return false;
    }
    return !realSysfs || udevFinishedWith(sysPath);
}

}  // namespace dd::platform
