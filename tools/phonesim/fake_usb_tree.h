// A fake USB tree that reads like a real machine's: sysfs (devices/ tree with
// root hubs, hubs and devices, bus/usb/devices symlinks into it) and device
// nodes (DEV_ROOT/bus/usb/BBB/DDD). Tests plug and unplug phones in-process;
// `phonesim usb` does the same from a shell.
//
// Plugging is atomic for a watcher of bus/usb/devices: the device directory is
// built under a temporary name and renamed into place, the interface links
// come next and the device's own link last. Unplugging removes the device's
// link first. So whoever sees the link sees a complete device, and a device
// whose link is gone is gone.
//
// All state lives in the two trees, so separate `phonesim usb` runs can work
// on the same tree. One object serialises its own calls.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace phonesim {

struct FakeUsbInterface {
    uint8_t cls = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    std::string label;  // "interface" attribute; empty = none
};

struct FakeUsbDevice {
    std::string port;  // sysfs name: "1-2" (port 2 of root hub usb1), "1-2.3" (port 3 of hub 1-2)
    uint16_t vid = 0x18d1;
    uint16_t pid = 0x4ee7;
    std::string serial;  // empty: the device has no serial attribute
    std::string manufacturer = "Orq";
    std::string product = "Phone";
    bool adb = true;   // an ff/42/01 interface
    bool mtp = false;  // an 06/01/01 interface
    bool node = true;  // create DEV_ROOT/bus/usb/BBB/DDD
    std::vector<FakeUsbInterface> extraInterfaces;
    // A serial port in the cdc_acm layout: the first interface (02/02/01)
    // carries tty/NAME, class/tty/NAME links to it, and DEV_ROOT/NAME is a
    // link to ttyNode (a pseudo-terminal) or an empty file when unset.
    std::string tty;
    std::string ttyNode;
    // Raw attribute contents that replace the generated ones; nullopt leaves
    // the attribute out (a half-written device).
    std::map<std::string, std::optional<std::string>> overrides;
    // Attributes created as directories, so reading them fails.
    std::vector<std::string> unreadable;
};

class FakeUsbTree {
  public:
    static constexpr int kDefaultRootPorts = 15;
    static constexpr uint8_t kAdbClass[3] = {0xff, 0x42, 0x01};
    static constexpr uint8_t kMtpClass[3] = {0x06, 0x01, 0x01};

    FakeUsbTree(std::string sysfsRoot, std::string devRoot);

    // Root hub "usbN"; plug() adds a missing one with kDefaultRootPorts ports.
    bool addRootHub(int bus, int ports = kDefaultRootPorts);
    // A hub with `ports` ports on a port; its children are "port.1" .. "port.N".
    bool addHub(const std::string& port, int ports);
    // False when the name is malformed, the port is taken or the parent hub
    // is missing (a missing root hub is added).
    bool plug(const FakeUsbDevice& device);
    // Removes the device (a hub with everything below it). False when absent.
    bool unplug(const std::string& port);
    bool isPlugged(const std::string& port) const;
    // Names of the devices (not root hubs) whose links are present.
    std::vector<std::string> pluggedPorts() const;

    // Where things are, for tests that damage a device on purpose.
    std::string deviceDir(const std::string& port) const;  // the real directory ("usbN" too)
    std::string linkPath(const std::string& name) const;   // bus/usb/devices/NAME
    std::string nodePath(const std::string& port) const;   // empty when unknown
    void writeAttribute(const std::string& port, const std::string& name,
                        const std::string& content);
    void removeAttribute(const std::string& port, const std::string& name);

    const std::string& sysfsRoot() const { return m_sysfs; }
    const std::string& devRoot() const { return m_dev; }

  private:
    struct Name {
        int bus = 0;
        std::vector<int> ports;
    };
    static bool parse(const std::string& port, Name& out);
    std::string rootDir(int bus) const;
    std::string dirOf(const Name& name) const;
    std::string parentName(const Name& name) const;
    int portCountOf(const std::string& hubName) const;
    int allocateDevnum(int bus) const;
    bool plugLocked(const FakeUsbDevice& device, bool isHub, int hubPorts);
    bool addRootHubLocked(int bus, int ports);

    std::string m_sysfs;
    std::string m_dev;
    mutable std::mutex m_mutex;
    unsigned m_tempCounter = 0;
};

}  // namespace phonesim
