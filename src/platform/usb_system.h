// The machine's own USB devices where no file tree shows them (Windows, when
// DEVICEDETECT_SYSFS_ROOT is not set): the system's device queries answer
// the tree reader's driver checks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace dd::platform
