// USB devices as Linux shows them under SYSFS_ROOT/bus/usb/devices, and their
// nodes under DEV_ROOT/bus/usb. This is the only code in the module that reads
// those trees; everything above asks in terms of hubs and ports.
//
// Mapping: a hub is named by its sysfs name ("usb1" for the root hub of bus 1,
// "1-2" for a hub on port 2 of it); the device on port P of hub H is "N-P" when
// H is the root hub "usbN", else "H.P". maxchild is the hub's port count. A
// device's sysfs name doubles as its driver key. Interfaces are the "DEV:C.I"
// entries.
//
// An empty sysfs root means the system's own device queries (Windows without
// a fake tree): the hub queries and driver checks then ask them
// (usb_system.h). Hubs are then named by their device interface paths and a
// device's name is its driver key.
//
// Everything read here comes from devices and is treated as untrusted: files
// are read bounded, numbers are parsed strictly, and a device whose attributes
// are missing, unreadable or malformed counts as "nothing connected" (a device
// the kernel is still setting up looks the same for a moment).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dd::platform {

// Result codes of the hub queries, numbered as the module has always reported
// them to its log and to its callers.
namespace usb_error {
constexpr int kOk = 0;
constexpr int kFileNotFound = 2;           // the hub is not there (any more)
constexpr int kGenFailure = 31;            // an attribute could not be read
constexpr int kInvalidParameter = 87;      // bad hub path, port or output
constexpr int kNotImplemented = 120;       // the thread class has no hub query
constexpr int kNoMoreItems = 259;          // normal end of a walk over all hubs
constexpr int kDeviceNotConnected = 1167;  // nothing (or a hub) on the port
constexpr int kInvalidIndex = 1413;        // port above the hub's port count
}  // namespace usb_error

// Driver state of one phone interface, as the driver waits read it.
enum UsbDriverState : int {
    kUsbDriverWorking = 0,   // interface present, node present and usable
    kUsbDriverProblem = 1,   // interface present, node missing or not usable yet
    kUsbDriverNotFound = 2,  // no such device or no such interface
};

// What one hub port carries.
struct UsbPortDevice {
    std::string hubPath;  // "usb1", "1-2"
    int port = 0;         // 1-based
    std::string name;     // the device's sysfs name and driver key: "1-2.3"
    uint16_t vid = 0;
    uint16_t pid = 0;
    bool isHub = false;  // bDeviceClass 09
    // The kernel's number of this device on its bus (portConnection only; 0
    // when unreadable). A device plugged in again gets a new one.
    int devnum = 0;
};

class UsbSysfs {
  public:
    static constexpr size_t kMaxSerialBytes = 255;

    UsbSysfs(std::string sysfsRoot, std::string devRoot);

    // True for "usbN" and "B-P[.P...]" names (no path separators, bounded),
    // the only hub paths the tree queries accept.
    static bool isValidHubPath(std::string_view hubPath);
    // The hub paths this reader's queries accept: tree names, or the
    // system's hub interface paths (isSystemHubPath) without a tree.
    bool acceptsHubPath(std::string_view hubPath) const;
    // Name of the device on a hub's port; empty for an invalid hub or port.
    // For a system hub path it is hubPath + "#" + port: a place to compare,
    // not the device's driver key.
    static std::string portDeviceName(std::string_view hubPath, int port);

    // True for a root hub's name, "usbN".
    static bool isRootHubPath(std::string_view hubPath);

    // Every device on every hub port, from one pass over bus/usb/devices.
    // Entries that are half there (no or malformed idVendor/idProduct), whose
    // parent hub is missing, or whose port is above the parent's maxchild are
    // left out, and their names go to incomplete when given. Order is the
    // directory's.
    std::vector<UsbPortDevice> listPortDevices(
        std::vector<std::string>* incomplete = nullptr) const;

    // What the device of one event name is now.
    enum class Named {
        kFound,       // out is filled, as listPortDevices fills an entry
        kGone,        // no entry of that name
        kIncomplete,  // an entry that listPortDevices would leave out
        kNotAPort,    // a root hub, an interface, or no device name at all
        kUnresolved,  // the system could not place the device it named: look at all
    };
    // The device named name ("1-3", "1-2.4"), read the way one entry of
    // listPortDevices is, without listing the rest of the tree. Without a
    // tree the name is a USB device interface path, as an arrival carries it,
    // and the system finds its hub and port.
    Named portDeviceNamed(const std::string& name, UsbPortDevice& out) const;

    // Port count of a hub. 0, kFileNotFound (hub gone), kGenFailure
    // (maxchild unreadable or malformed), kInvalidParameter (bad path).
    int hubPortCount(const std::string& hubPath, int& ports) const;
    // The device on a port (the port is not checked against the count here).
    // 0 with out filled; kDeviceNotConnected when nothing usable is there;
    // kInvalidParameter for a bad path or port.
    int portConnection(const std::string& hubPath, int port, UsbPortDevice& out) const;
    // The serial-number string of the device on a port, at most
    // kMaxSerialBytes bytes, cut at a character boundary. 0 with out; else
    // kDeviceNotConnected (no device) or kGenFailure (no serial string);
    // out is untouched on failure.
    int serialNumber(const std::string& hubPath, int port, std::string& out) const;

    // Driver checks for the phone (vid, pid, serial; the serial compares
    // ignoring case). adb interface ff/42/01: kUsbDriverWorking when its node
    // DEV_ROOT/bus/usb/BBB/DDD is there, readable and writable by this
    // process (and, on the real /sys, udev has finished with the device),
    // kUsbDriverProblem when not, kUsbDriverNotFound when the device or the
    // interface is absent. With several matching devices the last one seen
    // decides.
    //
    // likely names the device the caller expects (its own port's, from
    // portDeviceName): when it matches, it alone decides and the tree is not
    // scanned; when that port is empty the answer is kUsbDriverNotFound,
    // also without a scan. A scan reads every plugged device, so with a hub tower full of
    // phones each thread would otherwise read the whole tower at every check.
    int adbInterfaceState(const std::string& serial, uint16_t vid, uint16_t pid,
                          const std::string& likely = {}) const;
    // MTP interface (06/01/01 or interface string "MTP"): working when
    // present, else not found.
    int mtpInterfaceState(const std::string& serial, uint16_t vid, uint16_t pid,
                          const std::string& likely = {}) const;

    // The node of a device: DEV_ROOT/bus/usb/BBB/DDD; empty when its
    // busnum/devnum cannot be read.
    std::string deviceNodePath(const std::string& deviceName) const;

    const std::string& devicesDir() const { return m_devicesDir; }
    // True when this reads the machine's own /sys (udev then owns the nodes).
    bool isRealSysfs() const { return m_realSysfs; }

  private:
    struct Interface {
        uint8_t cls = 0;
        uint8_t subClass = 0;
        uint8_t protocol = 0;
        std::string label;  // "interface" string, may be empty
    };

    bool readAttribute(const std::string& deviceName, const char* attribute,
                       std::string& out) const;
    bool readIds(const std::string& deviceName, uint16_t& vid, uint16_t& pid) const;
    bool readHexByte(const std::string& entry, const char* attribute, uint8_t& out) const;
    std::vector<Interface> interfacesOf(const std::string& deviceName) const;
    bool deviceMatches(const std::string& name, const std::string& serial, uint16_t vid,
                       uint16_t pid) const;
    std::vector<std::string> devicesMatching(const std::string& serial, uint16_t vid, uint16_t pid,
                                             const std::string& likely) const;
    bool nodeUsable(const std::string& deviceName) const;

    std::string m_devicesDir;  // SYSFS_ROOT/bus/usb/devices
    std::string m_devRoot;
    bool m_realSysfs = false;
    bool m_systemQueries = false;  // no tree: sysfsRoot was empty
};

}  // namespace dd::platform
