// The texts Windows' device queries hand out about USB devices, taken apart
// without any system call so that they can be checked anywhere: device
// instance ids ("USB\VID_05C6&PID_9025\SERIAL"), device interface paths
// ("\\?\USB#VID_05C6&PID_9025#SERIAL#{a5dcbf10-...}"), location strings
// ("Port_#0003.Hub_#0001"), driver problem numbers and the answers of a hub's
// I/O controls. All of it comes from drivers and devices: it is parsed
// strictly and bounded, and every length in it is checked against the bytes
// that actually came back before anything is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dd::platform {

struct UsbInstanceId {
    uint16_t vid = 0;
    uint16_t pid = 0;
    int interfaceNumber = -1;  // "&MI_01": one interface of a composite device
    std::string instance;      // the serial number, or the system's own instance text
};

// "USB\VID_xxxx&PID_xxxx[&MI_xx]\INSTANCE", letters in any case. False for
// anything else, an empty instance or one with a further '\'.
bool parseUsbInstanceId(std::string_view id, UsbInstanceId& out);

// The same from a device interface path, where '#' stands for '\' and the
// interface class follows the instance.
bool parseUsbInterfacePath(std::string_view path, UsbInstanceId& out);

// The instance id "USB\VID_xxxx&PID_xxxx\INSTANCE" of the device an interface
// path names (the text between the bus and the class, '#' read as '\'), as it
// stands; empty when the path is not a USB device interface path.
std::string usbInstanceIdOfInterfacePath(std::string_view path);

// Hub device interface paths as long as the system has always handed them out.
inline constexpr size_t kMaxSystemHubPathBytes = 252;

// The only hub paths the system's hub queries open: "\\?\" or "\\.\"
// followed by printable ASCII without '/' and "..", at most
// kMaxSystemHubPathBytes in all. Anything else could name a file.
bool isSystemHubPath(std::string_view path);

// A hub's node information (USB_NODE_INFORMATION): its port count, one byte.
// False when too few bytes came back or the node is not a hub.
bool parseUsbHubNodeInfo(const unsigned char* data, size_t returned, int& ports);

// What a hub port's connection information (USB_NODE_CONNECTION_INFORMATION
// and its _EX twin, 35 packed bytes) says about the device there.
struct UsbConnectionInfo {
    uint32_t status = 0;  // 1: a device is connected
    uint16_t vid = 0;
    uint16_t pid = 0;
    uint8_t serialIndex = 0;  // iSerialNumber; 0 when the device has none
    bool isHub = false;
    int address = 0;  // the device's address on its bus
};
inline constexpr uint32_t kUsbDeviceConnected = 1;
inline constexpr size_t kUsbConnectionInfoBytes = 35;
bool parseUsbConnectionInfo(const unsigned char* data, size_t returned, UsbConnectionInfo& out);

// The driver key name of a port's device (USB_NODE_CONNECTION_DRIVERKEY_NAME:
// port, total length, UTF-16 name) as UTF-8. False when the total length is
// shorter than the header or longer than what came back, or the name is empty.
bool parseUsbDriverKeyName(const unsigned char* data, size_t returned, std::string& out);

// A string descriptor (length byte, type 3, UTF-16 text) as UTF-8 of at most
// limit bytes, cut at a character boundary and at the first NUL. False when
// fewer than 2 bytes came back, the type is not 3, or the length byte claims
// more than came back.
bool parseUsbStringDescriptor(const unsigned char* data, size_t returned, size_t limit,
                              std::string& out);

// "USB\VID_%04X&PID_%04X\%s" and, with serial empty, "USB\VID_%04X&PID_%04X":
// the two ids the driver checks look for.
std::string usbInstanceId(uint16_t vid, uint16_t pid, std::string_view serial = {});

// "Port_#0003.Hub_#0001": port 3 of hub 1. False for anything else.
bool parseUsbLocation(std::string_view text, int& port, int& hub);

// Whether a class-GUID property read from a device (any case, maybe NUL
// padded) contains the wanted class, given in lower case.
bool classGuidMatches(std::string_view property, std::string_view wantedLower);

// The driver state (UsbDriverState) of a device node found or not, from its
// problem number: a node without a problem works; one with a problem
// (driver still installing, failed, disabled) is not usable yet.
int usbDriverStateOf(bool found, unsigned long problem);

// A short name of a configuration-manager problem number for the log
// ("CM_PROB_FAILED_INSTALL"), or "problem N" for one not listed.
std::string usbProblemName(unsigned long problem);

}  // namespace dd::platform
