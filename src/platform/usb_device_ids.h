// The texts Windows' device queries hand out about USB devices, taken apart
// without any system call so that they can be checked anywhere: device
// instance ids ("USB\VID_05C6&PID_9025\SERIAL"), device interface paths
// ("\\?\USB#VID_05C6&PID_9025#SERIAL#{a5dcbf10-...}"), location strings
// ("Port_#0003.Hub_#0001") and driver problem numbers. All of it comes from
// drivers and devices: it is parsed strictly and bounded.
#pragma once

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
