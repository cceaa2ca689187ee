// The USB tree reader and its watch on a fake tree in a temp folder, as both
// systems see it. The tree is made of links where the system lets a test
// make them (Linux); on Windows of plain folders, which is also how Wine
// shows the links of a tree made on the Linux side.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial_sysfs.h"
#include "platform/usb_monitor.h"
#include "platform/usb_sysfs.h"
#include "platform/usb_system.h"

namespace fs = std::filesystem;

namespace {

using dd::platform::UsbMonitor;
using dd::platform::UsbSysfs;

class FakeTree {
  public:
    FakeTree() {
        std::random_device random;
        m_root = fs::temp_directory_path() / ("dd-usbtree-" + std::to_string(random()));
        fs::create_directories(devices());
        fs::create_directories(m_root / "devices" / "usb1");
        fs::create_directories(m_root / "class" / "tty");
        write("devices/usb1/maxchild", "4");
        write("devices/usb1/bDeviceClass", "09");
        link("devices/usb1", devices() / "usb1");
    }
    ~FakeTree() {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    std::string root() const { return m_root.string(); }
    fs::path devices() const { return m_root / "bus" / "usb" / "devices"; }

    // A phone with an adb interface and a tty on port port of the root hub.
    void plugPhone(int port, const std::string& serial) {
        std::string name = "1-" + std::to_string(port);
        std::string dir = "devices/usb1/" + name;
        std::string iface = dir + "/" + name + ":1.0";
        fs::create_directories(m_root / iface / "tty" / "ttyACM0");
        write(dir + "/idVendor", "18d1");
        write(dir + "/idProduct", "4ee7");
        write(dir + "/serial", serial);
        write(dir + "/bDeviceClass", "00");
        write(dir + "/busnum", "1");
        write(dir + "/devnum", "5");
        write(iface + "/bInterfaceClass", "ff");
        write(iface + "/bInterfaceSubClass", "42");
        write(iface + "/bInterfaceProtocol", "01");
        link(iface + "/tty/ttyACM0", m_root / "class" / "tty" / "ttyACM0");
        link(dir, devices() / name);  // last, as the kernel shows a device once it is set up
    }

    void unplug(int port) {
        std::error_code ec;
        fs::remove_all(devices() / ("1-" + std::to_string(port)), ec);
        ASSERT_FALSE(ec) << ec.message();
    }

  private:
    void write(const std::string& relative, const std::string& value) {
        std::ofstream(m_root / relative) << value << "\n";
    }

    // at stands for the folder target (relative to the root): a link where
    // one can be made, else a copy.
    void link(const std::string& target, const fs::path& at) {
        std::error_code ec;
        fs::create_directory_symlink(fs::relative(m_root / target, at.parent_path()), at, ec);
        if (ec) {
            fs::copy(m_root / target, at, fs::copy_options::recursive, ec);
            ASSERT_FALSE(ec) << ec.message();
        }
    }

    fs::path m_root;
};

TEST(UsbTree, PhoneIsReadFromTheTreeAndItsTtyFound) {
    FakeTree tree;
    tree.plugPhone(2, "R58M40");
    UsbSysfs sysfs(tree.root(), tree.root() + "/dev");

    int ports = 0;
    ASSERT_EQ(sysfs.hubPortCount("usb1", ports), 0);
    EXPECT_EQ(ports, 4);
    dd::platform::UsbPortDevice device;
    ASSERT_EQ(sysfs.portConnection("usb1", 2, device), 0);
    EXPECT_EQ(device.vid, 0x18d1);
    EXPECT_EQ(device.pid, 0x4ee7);
    EXPECT_EQ(device.devnum, 5);
    std::string serial;
    ASSERT_EQ(sysfs.serialNumber("usb1", 2, serial), 0);
    EXPECT_EQ(serial, "R58M40");
    EXPECT_EQ(sysfs.portConnection("usb1", 3, device),
              dd::platform::usb_error::kDeviceNotConnected);
    auto listed = sysfs.listPortDevices();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "1-2");
    // The interface is there; the node is not (yet).
    EXPECT_EQ(sysfs.adbInterfaceState("r58m40", 0x18d1, 0x4ee7), dd::platform::kUsbDriverProblem);
    fs::create_directories(tree.root() + "/dev/bus/usb/001");
    std::ofstream(tree.root() + "/dev/bus/usb/001/005") << "";
    EXPECT_EQ(sysfs.adbInterfaceState("R58M40", 0x18d1, 0x4ee7), dd::platform::kUsbDriverWorking);
    EXPECT_EQ(sysfs.adbInterfaceState("other", 0x18d1, 0x4ee7), dd::platform::kUsbDriverNotFound);

    EXPECT_EQ(dd::platform::usbDeviceTty(tree.root(), "1-2"), "ttyACM0");
    EXPECT_EQ(dd::platform::ttyUsbDevice(tree.root(), "ttyACM0"), "1-2");
    EXPECT_EQ(dd::platform::ttyUsbDevice(tree.root(), "ttyACM1"), "");
}

// A tty whose class link cannot be resolved (a plain folder, as Windows
// shows links) is found on its device all the same.
TEST(UsbTree, TtyBehindAnUnresolvedLinkIsFoundOnItsDevice) {
    FakeTree tree;
    tree.plugPhone(3, "S1");
    fs::path link = fs::path(tree.root()) / "class" / "tty" / "ttyACM0";
    fs::remove(link);
    fs::create_directories(link);
    EXPECT_EQ(dd::platform::ttyUsbDevice(tree.root(), "ttyACM0"), "1-3");
    tree.unplug(3);
    EXPECT_EQ(dd::platform::ttyUsbDevice(tree.root(), "ttyACM0"), "");
}

TEST(UsbTree, MonitorSeesPlugAndUnplugAndWakeCutsTheWaitShort) {
    FakeTree tree;
    std::unique_ptr<UsbMonitor> monitor = UsbMonitor::open(tree.root());
    ASSERT_TRUE(monitor->hasSource()) << monitor->openProblem();

    tree.plugPhone(1, "A");
    UsbMonitor::Changes plugged = monitor->wait();
    EXPECT_TRUE(plugged.changed);
    EXPECT_FALSE(plugged.removal);

    // Take what is left of the plug, then unplug.
    monitor->wake();
    monitor->wait();
    tree.unplug(1);
    UsbMonitor::Changes removed = monitor->wait();
    while (!removed.removal && removed.changed) {
        removed = monitor->wait();  // a late report of the plug's own entries
    }
    EXPECT_TRUE(removed.removal);
    EXPECT_NE(std::find(removed.removedNames.begin(), removed.removedNames.end(), "1-1"),
              removed.removedNames.end());

    // Nothing changes now: only wake() can end this wait.
    std::thread waker([&] { monitor->wake(); });
    UsbMonitor::Changes woken = monitor->wait();
    waker.join();
    EXPECT_TRUE(woken.woken);
    EXPECT_FALSE(woken.changed);
}

// Without a tree the system's own queries answer; no phone is plugged into
// the machine running the tests, and no relative folder is read instead.
// Only the system's hub interface paths are hub paths then: a tree name, a
// file or a path with ".." is refused before anything is opened.
TEST(UsbTree, WithoutATreeTheSystemIsAsked) {
    namespace err = dd::platform::usb_error;
    UsbSysfs sysfs("", "");
    const std::string madeUp =
        "\\\\?\\USB#ROOT_HUB30#4&2a1b3c4d&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    int ports = -1;
    dd::platform::UsbPortDevice device;
    device.vid = 7;
    std::string serial = "untouched";
    for (const std::string& bad :
         {std::string("usb1"), std::string("1-2"), std::string("\\\\?\\C:\\..\\hub"),
          std::string("\\\\?\\C:/hub"), std::string("C:\\hub")}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(sysfs.acceptsHubPath(bad));
        EXPECT_EQ(sysfs.hubPortCount(bad, ports), err::kInvalidParameter);
        EXPECT_EQ(sysfs.portConnection(bad, 1, device), err::kInvalidParameter);
        EXPECT_EQ(sysfs.serialNumber(bad, 1, serial), err::kInvalidParameter);
    }
    EXPECT_TRUE(sysfs.acceptsHubPath(madeUp));
    EXPECT_FALSE(UsbSysfs("/no/such/tree", "").acceptsHubPath(madeUp));
    EXPECT_EQ(sysfs.portConnection(madeUp, 0, device), err::kInvalidParameter);
    EXPECT_EQ(sysfs.serialNumber(madeUp, 256, serial), err::kInvalidParameter);
#ifdef _WIN32
    // Windows: the hub is looked for, and is not there.
    const int absent = err::kFileNotFound;
#else
    // Linux always has its tree: there is nothing beside it to ask.
    const int absent = err::kNotImplemented;
#endif
    EXPECT_EQ(sysfs.hubPortCount(madeUp, ports), absent);
    EXPECT_EQ(sysfs.portConnection(madeUp, 1, device), absent);
    EXPECT_EQ(sysfs.serialNumber(madeUp, 1, serial), absent);
    EXPECT_EQ(ports, -1);
    EXPECT_EQ(device.vid, 7);
    EXPECT_EQ(serial, "untouched");
    EXPECT_EQ(UsbSysfs::portDeviceName(madeUp, 3), madeUp + "#3");
    EXPECT_TRUE(sysfs.listPortDevices().empty());
    // An arrival that names no device of this machine, or names nothing.
    for (const char* arrival :
         {"\\\\?\\USB#VID_18D1&PID_4EE7#NOPHONE#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", "usb1",
          ""}) {
        SCOPED_TRACE(arrival);
        EXPECT_FALSE(dd::platform::systemPortDeviceNamed(arrival, device));
    }
    EXPECT_EQ(device.vid, 7);
    // An arrival's interface path is kept as the event's name, and a device
    // the system cannot place asks for a look at everything.
    const std::string arrival =
        "\\\\?\\USB#VID_18D1&PID_4EE7#NOPHONE#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    UsbMonitor::Changes changes;
    changes.addArrival(arrival);
    changes.addArrival("\\\\?\\C:\\..\\x");
    EXPECT_EQ(changes.arrivedNames, std::vector<std::string>{arrival});
    EXPECT_TRUE(changes.arrivalUnnamed);
    EXPECT_EQ(sysfs.portDeviceNamed(arrival, device), UsbSysfs::Named::kUnresolved);
    EXPECT_EQ(sysfs.portDeviceNamed("1-1", device), UsbSysfs::Named::kNotAPort);
    EXPECT_EQ(device.vid, 7);
    EXPECT_EQ(sysfs.adbInterfaceState("NOPHONE", 0x18d1, 0x4ee7), dd::platform::kUsbDriverNotFound);
    EXPECT_EQ(sysfs.mtpInterfaceState("NOPHONE", 0x18d1, 0x4ee7), dd::platform::kUsbDriverNotFound);
    EXPECT_EQ(sysfs.deviceNodePath("1-1"), "");
}

TEST(UsbTree, MissingTreeStillServesWake) {
    std::unique_ptr<UsbMonitor> monitor =
        UsbMonitor::open((fs::temp_directory_path() / "dd-no-such-usb-tree").string());
    EXPECT_FALSE(monitor->hasSource());
    EXPECT_FALSE(monitor->openProblem().empty());
    monitor->wake();
    EXPECT_TRUE(monitor->wait().woken);
}

}  // namespace
