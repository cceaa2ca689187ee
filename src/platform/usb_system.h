// The machine's own USB devices where no file tree shows them (Windows, when
// DEVICEDETECT_SYSFS_ROOT is not set): the system's device queries answer
// the tree reader's hub queries and driver checks. A hub is named by its
// device interface path ("\\?\USB#ROOT_HUB30#...#{f18a0e88-...}"), a device's
// name is its driver key. Results are usb_error codes, as the tree's are; a
// system without such queries (Linux always has its tree) answers an empty
// list, kNotImplemented or false.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/usb_device_ids.h"
#include "platform/usb_sysfs.h"

namespace dd::platform {

// Interface setup classes the driver checks look for, in lower case.
inline constexpr std::string_view kAdbInterfaceClass = "{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
inline constexpr std::string_view kMtpDeviceClass = "{eec5ad98-8080-425f-922a-dabf3de3f69a}";

// Driver state (UsbDriverState) of the function of the device
// "USB\VID_vid&PID_pid\serial" whose setup class contains classLower: the
// last one found decides; kUsbDriverNotFound when there is none, or when
// this system has no such queries.
int systemUsbDriverState(uint16_t vid, uint16_t pid, const std::string& serial,
                         std::string_view classLower);

// Every connected device on every port of every present hub (hubs on ports
// included, with isHub set).
std::vector<UsbPortDevice> systemListPortDevices();

// A hub's port count. kInvalidParameter (not a system hub path),
// kFileNotFound (the hub cannot be opened), kGenFailure (no node information).
int systemHubPortCount(const std::string& hubPath, int& ports);

// The device on a port, a hub counting as connected. kInvalidParameter (bad
// path or port), kFileNotFound (hub cannot be opened), kDeviceNotConnected.
int systemPortConnection(const std::string& hubPath, int port, UsbPortDevice& out);

// The serial-number string of the device on a port (language 0x0409), at
// most UsbSysfs::kMaxSerialBytes of UTF-8. kInvalidParameter, kFileNotFound,
// kDeviceNotConnected, or kGenFailure when the device has no serial string;
// out is untouched on failure.
int systemSerialNumber(const std::string& hubPath, int port, std::string& out);

// The device an arrival notification names by its USB device interface path
// ("\\?\USB#VID_xxxx&PID_yyyy#serial#{a5dcbf10-...}"): found through its
// parent hub and port. False when any step fails (the caller then scans all).
bool systemPortDeviceNamed(const std::string& interfacePath, UsbPortDevice& out);

}  // namespace dd::platform
