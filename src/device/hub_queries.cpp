#include "device/hub_queries.h"

#include "device/device_host.h"
#include "log/log_stream.h"

namespace err = dd::platform::usb_error;
using dd::platform::UsbPortDevice;
using dd::platform::UsbSysfs;

dd::platform::UsbSysfs moduleUsbTree() {
    return UsbSysfs(deviceHost().paths().sysfsRoot, deviceHost().paths().devRoot);
}

int getHubPortInfo(const UsbSysfs& tree, const std::string& hubPath, int port, int* vid, int* pid,
                   std::string* driverKey, std::string* serial) {
    if (hubPath.empty() || port < 1 || vid == nullptr || pid == nullptr ||
        !tree.acceptsHubPath(hubPath)) {
        return err::kInvalidParameter;
    }
    int ports = 0;
    if (int ret = tree.hubPortCount(hubPath, ports); ret != err::kOk) {
        return ret;
    }
    if (port > ports) {
        return err::kInvalidIndex;
    }
    UsbPortDevice device;
    if (tree.portConnection(hubPath, port, device) != err::kOk || device.isHub) {
        return err::kDeviceNotConnected;
    }
    *vid = device.vid;
    *pid = device.pid;
    if (driverKey != nullptr) {
        *driverKey = device.name;
    }
    if (serial != nullptr) {
        getStringDescriptor(tree, hubPath, port, *serial);
    }
    return err::kOk;
}

int getHubPortInfo(const std::string& hubPath, int port, int* vid, int* pid, std::string* driverKey,
                   std::string* serial) {
    return getHubPortInfo(moduleUsbTree(), hubPath, port, vid, pid, driverKey, serial);
}

int getStringDescriptor(const UsbSysfs& tree, const std::string& hubPath, int port,
                        std::string& out) {
    return tree.serialNumber(hubPath, port, out);
}

int CheckDeviceOnHub(const UsbSysfs& tree, const std::string& hubPath, int port, int vid, int pid) {
    if (hubPath.empty() || port < 1 || vid == 0 || pid == 0) {
        return err::kInvalidParameter;
    }
    int result = err::kInvalidParameter;
    int ports = 0;
    int ret = tree.acceptsHubPath(hubPath) ? tree.hubPortCount(hubPath, ports) : err::kFileNotFound;
    if (ret == err::kFileNotFound || ret == err::kInvalidParameter) {
        DD_LOG(LOG_ERR) << "DeviceIoControl return failed.!last error = " << ret;
        result = -1;
    } else if (ret != err::kOk) {
        result = err::kInvalidParameter;  // the hub's own information cannot be read
    } else if (port > ports) {
        DD_LOG(LOG_ERR) << "DeviceIoControl return failed.!last error = " << err::kInvalidIndex;
        result = -1;
    } else {
        UsbPortDevice device;
        if (tree.portConnection(hubPath, port, device) != err::kOk || device.isHub) {
            result = err::kDeviceNotConnected;
        } else if (device.vid == vid && device.pid == pid) {
            result = 0;
        }
    }
    if (result != 0) {
        DD_LOG(LOG_ERR) << "device not existing hub!";
    }
    return result;
}

int CheckDeviceOnHub(const std::string& hubPath, int port, int vid, int pid) {
    return CheckDeviceOnHub(moduleUsbTree(), hubPath, port, vid, pid);
}

int portDeviceNumber(const UsbSysfs& tree, const std::string& hubPath, int port) {
    UsbPortDevice device;
    return tree.portConnection(hubPath, port, device) == err::kOk ? device.devnum : 0;
}

int portDeviceNumber(const std::string& hubPath, int port) {
    return portDeviceNumber(moduleUsbTree(), hubPath, port);
}

namespace {

bool validIds(int vid, int pid) {
    return vid > 0 && vid <= 0xFFFF && pid > 0 && pid <= 0xFFFF;
}

}  // namespace

int CheckDevicePresent(const std::string& serial, int vid, int pid, const std::string& hubPath,
                       int port) {
    if (!validIds(vid, pid)) {
        return dd::platform::kUsbDriverNotFound;
    }
    int state = moduleUsbTree().adbInterfaceState(serial, static_cast<uint16_t>(vid),
                                                  static_cast<uint16_t>(pid),
                                                  UsbSysfs::portDeviceName(hubPath, port));
    if (state == dd::platform::kUsbDriverProblem) {
        // Either udev is still at work (this passes in a moment) or no rule
        // lets this user open the device; say how to fix the second case.
        DD_LOG(LOG_INFO)
            << "adb interface of " << serial
            << " is not usable yet: if this lasts, install the udev rules shipped with the"
               " suite (data/udev/70-orq-sync.rules) or add the user to the plugdev group";
    }
    return state;
}

int CheckMtpDevicePresent(const std::string& serial, int vid, int pid, const std::string& hubPath,
                          int port) {
    if (!validIds(vid, pid)) {
        return dd::platform::kUsbDriverNotFound;
    }
    return moduleUsbTree().mtpInterfaceState(serial, static_cast<uint16_t>(vid),
                                             static_cast<uint16_t>(pid),
                                             UsbSysfs::portDeviceName(hubPath, port));
}
