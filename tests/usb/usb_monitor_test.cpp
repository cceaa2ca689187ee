// The USB monitor on a fake tree (inotify) and the fake tree itself: what a
// watcher of bus/usb/devices sees when phonesim plugs and unplugs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "fake_usb_tree.h"
#include "platform/usb_monitor.h"
#include "platform/usb_sysfs.h"
#include "test_env.h"

namespace {

using dd::platform::UsbMonitor;
using phonesim::FakeUsbDevice;
using phonesim::FakeUsbTree;

FakeUsbDevice phone(const std::string& port, const std::string& serial) {
    FakeUsbDevice device;
    device.port = port;
    device.serial = serial;
    return device;
}

TEST(UsbMonitor, ReportsPlugUnplugAndWake) {
    ddtest::TempDir dir("usbmon");
    FakeUsbTree tree(dir / "sys", dir / "dev");
    std::unique_ptr<UsbMonitor> monitor = UsbMonitor::open(dir / "sys");
    ASSERT_TRUE(monitor->hasSource());

    ASSERT_TRUE(tree.plug(phone("1-1", "A")));
    UsbMonitor::Changes plugged = monitor->wait();
    EXPECT_TRUE(plugged.changed);

    // Drain what is left of the plug, then unplug.
    monitor->wake();
    monitor->wait();
    ASSERT_TRUE(tree.unplug("1-1"));
    UsbMonitor::Changes removed = monitor->wait();
    EXPECT_TRUE(removed.changed);
    EXPECT_TRUE(removed.removal);
    EXPECT_FALSE(removed.removalUnnamed);
    EXPECT_NE(std::find(removed.removedNames.begin(), removed.removedNames.end(), "1-1"),
              removed.removedNames.end());

    std::thread waker([&] { monitor->wake(); });
    UsbMonitor::Changes woken = monitor->wait();
    waker.join();
    EXPECT_TRUE(woken.woken || woken.changed);
}

// Only the threads whose phone a removal can have taken are woken for it.
TEST(UsbMonitor, RemovalReachesTheDeviceItsInterfacesAndWhatIsBelowAHub) {
    EXPECT_TRUE(UsbMonitor::removalReaches("1-3", "1-3"));
    EXPECT_TRUE(UsbMonitor::removalReaches("1-3:1.0", "1-3"));
    EXPECT_TRUE(UsbMonitor::removalReaches("1-3", "1-3.2"));   // a hub above the phone
    EXPECT_TRUE(UsbMonitor::removalReaches("usb1", "1-3.2"));  // its root hub
    EXPECT_TRUE(UsbMonitor::removalReaches("", "1-3"));        // unknown: look
    EXPECT_TRUE(UsbMonitor::removalReaches("1-3", ""));        // no port: look
    EXPECT_FALSE(UsbMonitor::removalReaches("1-3", "1-33"));
    EXPECT_FALSE(UsbMonitor::removalReaches("1-3.2", "1-3"));  // below the phone's port
    EXPECT_FALSE(UsbMonitor::removalReaches("2-3", "1-3"));
    EXPECT_FALSE(UsbMonitor::removalReaches("usb1", "11-3"));
    EXPECT_FALSE(UsbMonitor::removalReaches("usb2", "1-3"));

    UsbMonitor::Changes changes;
    changes.addRemoval(std::string(100, '1'));
    EXPECT_TRUE(changes.removal);
    EXPECT_TRUE(changes.removalUnnamed) << "a name no device has is kept as unknown";
    EXPECT_TRUE(changes.removedNames.empty());
}

TEST(UsbMonitor, LostEventsAreReportedAsOverflow) {
    int limit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    if (limit <= 0 || limit > 200000) {
        GTEST_SKIP() << "inotify queue limit " << limit;
    }
    ddtest::TempDir dir("usbovf");
    FakeUsbTree tree(dir / "sys", dir / "dev");
    std::unique_ptr<UsbMonitor> monitor = UsbMonitor::open(dir / "sys");
    ASSERT_TRUE(monitor->hasSource());
    // More events than the queue holds, nobody reading.
    std::string devices = dir / "sys/bus/usb/devices";
    for (int i = 0; i <= limit + 16; ++i) {
        std::ofstream(devices + "/f" + std::to_string(i));
    }
    UsbMonitor::Changes changes = monitor->wait();
    EXPECT_TRUE(changes.overflow);
}

// Without a tree, and with the real machine's udev monitor (which only
// listens: nothing under /sys is touched), wake still works.
TEST(UsbMonitor, MissingTreeAndTheRealMachineStillServeWake) {
    ddtest::TempDir dir("usbnone");
    std::unique_ptr<UsbMonitor> monitors[] = {UsbMonitor::open(dir / "absent"),
                                              UsbMonitor::open("/sys")};
    EXPECT_FALSE(monitors[0]->hasSource());
    for (auto& monitor : monitors) {
        monitor->wake();
        EXPECT_TRUE(monitor->wait().woken);
    }
}

TEST(FakeUsbTree, LinksAppearLastAndGoFirst) {
    ddtest::TempDir dir("usbtree");
    FakeUsbTree tree(dir / "sys", dir / "dev");
    ASSERT_TRUE(tree.addHub("1-4", 4));
    ASSERT_TRUE(tree.plug(phone("1-4.2", "X")));
    EXPECT_FALSE(tree.plug(phone("1-4.2", "Y"))) << "port taken";
    EXPECT_FALSE(tree.plug(phone("1-5.1", "Z"))) << "no hub at 1-5";
    EXPECT_FALSE(tree.plug(phone("1-4/../x", "Z")));

    // What a reader sees through the link is a complete device.
    std::string link = tree.linkPath("1-4.2");
    EXPECT_EQ(ddtest::readFile(link + "/idVendor"), "18d1\n");
    EXPECT_EQ(ddtest::readFile(link + "/serial"), "X\n");
    EXPECT_TRUE(std::filesystem::is_directory(link + "/1-4.2:1.0"));
    EXPECT_TRUE(std::filesystem::is_symlink(tree.linkPath("1-4.2:1.0")));
    std::string node = tree.nodePath("1-4.2");
    EXPECT_TRUE(std::filesystem::exists(node));
    EXPECT_EQ(std::filesystem::read_symlink(link).string().substr(0, 9), "../../../");

    // Unplugging the hub takes everything below it.
    ASSERT_TRUE(tree.unplug("1-4"));
    EXPECT_FALSE(tree.isPlugged("1-4.2"));
    std::error_code ec;
    EXPECT_FALSE(std::filesystem::is_symlink(tree.linkPath("1-4.2:1.0"), ec));
    EXPECT_FALSE(std::filesystem::exists(node));
    EXPECT_FALSE(std::filesystem::exists(tree.deviceDir("1-4")));
    EXPECT_FALSE(tree.unplug("1-4"));
    dd::platform::UsbSysfs sysfs(dir / "sys", dir / "dev");
    EXPECT_TRUE(sysfs.listPortDevices().empty());
}

TEST(FakeUsbTree, CommandLinePlugsAndUnplugs) {
    ddtest::TempDir dir("usbcli");
    std::string phonesim = std::string(DD_TEST_BIN_DIR) + "/phonesim usb --sysfs '" +
                           (dir / "sys") + "' --dev '" + (dir / "dev") + "' ";
    ASSERT_EQ(
        std::system((phonesim + "plug --port 3-2 --vid 04e8 --pid 6860 --serial CLI1").c_str()), 0);
    ASSERT_EQ(std::system((phonesim + "hub --port 3-1 --ports 2").c_str()), 0);
    EXPECT_NE(std::system((phonesim + "plug --port 3-2 --vid 04e8 --pid 6860 2>/dev/null").c_str()),
              0);
    EXPECT_NE(std::system((phonesim + "plug --port 3-9 --vid zz 2>/dev/null").c_str()), 0);

    dd::platform::UsbSysfs sysfs(dir / "sys", dir / "dev");
    auto found = sysfs.listPortDevices();
    ASSERT_EQ(found.size(), 2u);
    std::string serial;
    ASSERT_EQ(sysfs.serialNumber("usb3", 2, serial), 0);
    EXPECT_EQ(serial, "CLI1");

    ASSERT_EQ(std::system((phonesim + "unplug --port 3-2").c_str()), 0);
    EXPECT_EQ(sysfs.listPortDevices().size(), 1u);
}

}  // namespace
