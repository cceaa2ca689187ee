// Unmounts, on this PC, the file systems of a phone's USB storage: only the
// block devices that sit under the phone's own USB device in sysfs, found by
// the record's serial number (and vid/pid when set). Mounts of anything else
// are never touched.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "devicedetect/DeviceDetect.h"

namespace devctl {

struct BlockDevice {
    std::string name;    // "sdb1"
    std::string number;  // "8:17" (the sysfs dev file)
};

struct MountEntry {
    std::string number;      // major:minor of the mounted device
    std::string mountPoint;  // unescaped
    std::string source;      // "/dev/sdb1"
};

// Parses mountinfo text; malformed lines are skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);

// The mounts among entries that belong to one of devices, innermost first.
std::vector<MountEntry> mountsOf(const std::vector<MountEntry>& entries,
                                 const std::vector<BlockDevice>& devices);

// Block devices (disks and partitions) below a USB device's sysfs folder.
std::vector<BlockDevice> blockDevicesUnder(const std::string& usbDeviceDir);

// The sysfs folder of the USB device with this serial; empty when none.
std::string findUsbDevice(const std::string& sysfsRoot, const std::string& serial, uint16_t vid,
                          uint16_t pid);

// QX_UnmountDisk: an UNMOUNT_ code.
uint16_t unmountPhoneDisks(const DeviceRecord* record);

}  // namespace devctl
