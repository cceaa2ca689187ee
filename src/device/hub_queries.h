// Questions about USB hub ports, in the terms the detector and the device
// threads use: a hub path (the hub's sysfs name, "usb1", "1-2") and a 1-based
// port. Each function has an overload that takes the tree explicitly (tests,
// benchmarks) and one that reads the tree theApp is configured for.
//
// Results are the module's error codes (dd::platform::usb_error): 0 success,
// 87 bad arguments, 1167 nothing (or a hub) on the port, others for a hub
// that is gone or unreadable.
#pragma once

#include <string>

#include "platform/usb_sysfs.h"

// The tree theApp reads (its sysfs and dev roots).
dd::platform::UsbSysfs moduleUsbTree();

// Vendor id, product id, driver key and serial-number string of the device on
// a port. 0 = read; 87 bad arguments (empty or malformed path, port < 1, null
// vid/pid output); 1413 port above the hub's port count; 1167 nothing
// connected or a hub; 2/31 hub gone or unreadable. A serial string that
// cannot be read leaves *serial untouched and the result 0. driverKey and
// serial may be null.
int getHubPortInfo(const dd::platform::UsbSysfs& tree, const std::string& hubPath, int port,
                   int* vid, int* pid, std::string* driverKey, std::string* serial);
int getHubPortInfo(const std::string& hubPath, int port, int* vid, int* pid, std::string* driverKey,
                   std::string* serial);

// The serial-number string descriptor of the device on a port: 0 with out
// set (at most 255 bytes); otherwise an error code and out untouched.
int getStringDescriptor(const dd::platform::UsbSysfs& tree, const std::string& hubPath, int port,
                        std::string& out);

// The presence check: 0 when a connected, non-hub device with this vid and
// pid is on the port. 87 for a missing path, port < 1 or a zero id (nothing
// logged), or when the hub cannot be read or another device is there; -1 when
// the hub is gone or the port is above its port count; 1167 when nothing or
// a hub is on the port. Every non-zero result logs "device not existing hub!".
int CheckDeviceOnHub(const dd::platform::UsbSysfs& tree, const std::string& hubPath, int port,
                     int vid, int pid);
int CheckDeviceOnHub(const std::string& hubPath, int port, int vid, int pid);

// The kernel's device number of the device on a port (changes with every
// plug); 0 when nothing readable is there.
int portDeviceNumber(const dd::platform::UsbSysfs& tree, const std::string& hubPath, int port);
int portDeviceNumber(const std::string& hubPath, int port);

// Driver checks of the driver waits: 0 the phone's interface works, 1 it is
// there with a problem (node missing or not usable yet: udev not finished, or
// no rule grants this user access), 2 not found.
// hubPath and port, when known, name the phone's own port: its device is
// looked at first, and the tree is scanned only when it does not match.
int CheckDevicePresent(const std::string& serial, int vid, int pid,  // adb interface
                       const std::string& hubPath = {}, int port = 0);
int CheckMtpDevicePresent(const std::string& serial, int vid, int pid,  // MTP interface
                          const std::string& hubPath = {}, int port = 0);
