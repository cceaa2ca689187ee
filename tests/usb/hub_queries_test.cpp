// The hub queries and driver checks read a fake tree built like a real
// machine's sysfs; half-written and hostile entries must read as "nothing
// there", never as a device.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "device/hub_queries.h"
#include "fake_usb_tree.h"
#include "platform/usb_sysfs.h"
#include "test_env.h"

namespace {

namespace err = dd::platform::usb_error;
using dd::platform::UsbSysfs;
using phonesim::FakeUsbDevice;
using phonesim::FakeUsbTree;

FakeUsbDevice phone(const std::string& port, const std::string& serial) {
    FakeUsbDevice device;
    device.port = port;
    device.serial = serial;
    return device;
}

class HubQueries : public ::testing::Test {
  protected:
    ddtest::TempDir dir{"usbq"};
    FakeUsbTree tree{dir / "sys", dir / "dev"};
    UsbSysfs sysfs{dir / "sys", dir / "dev"};
};

TEST_F(HubQueries, PhoneOnRootHubAndBehindAHubReadsIdsKeyAndSerial) {
    ASSERT_TRUE(tree.plug(phone("1-2", "R58M40ABCDE")));
    ASSERT_TRUE(tree.addHub("1-3", 4));
    FakeUsbDevice other = phone("1-3.4", "second");
    other.vid = 0x04e8;
    other.pid = 0x6860;
    ASSERT_TRUE(tree.plug(other));

    int vid = 0, pid = 0;
    std::string key, serial;
    EXPECT_EQ(getHubPortInfo(sysfs, "usb1", 2, &vid, &pid, &key, &serial), 0);
    EXPECT_EQ(vid, 0x18d1);
    EXPECT_EQ(pid, 0x4ee7);
    EXPECT_EQ(key, "1-2");
    EXPECT_EQ(serial, "R58M40ABCDE");

    EXPECT_EQ(getHubPortInfo(sysfs, "1-3", 4, &vid, &pid, &key, &serial), 0);
    EXPECT_EQ(vid, 0x04e8);
    EXPECT_EQ(key, "1-3.4");
    EXPECT_EQ(serial, "second");
}

TEST_F(HubQueries, BadArgumentsPortsBeyondTheHubAndHubsOnPortsAreRefused) {
    ASSERT_TRUE(tree.addRootHub(1, 4));
    ASSERT_TRUE(tree.addHub("1-1", 2));
    int vid = 0, pid = 0;
    EXPECT_EQ(getHubPortInfo(sysfs, "usb1", 0, &vid, &pid, nullptr, nullptr),
              err::kInvalidParameter);
    EXPECT_EQ(getHubPortInfo(sysfs, "", 1, &vid, &pid, nullptr, nullptr), err::kInvalidParameter);
    EXPECT_EQ(getHubPortInfo(sysfs, "usb1", 1, nullptr, &pid, nullptr, nullptr),
              err::kInvalidParameter);
    for (const char* hostile : {"../../etc", "usb1/../usb1", "1-2/..", "usb", "1-", "1-0", "x-1"}) {
        EXPECT_EQ(getHubPortInfo(sysfs, hostile, 1, &vid, &pid, nullptr, nullptr),
                  err::kInvalidParameter)
            << hostile;
    }
    int beyond = getHubPortInfo(sysfs, "usb1", 5, &vid, &pid, nullptr, nullptr);
    EXPECT_NE(beyond, 0);
    EXPECT_NE(beyond, err::kInvalidParameter);
    EXPECT_EQ(getHubPortInfo(sysfs, "usb1", 1, &vid, &pid, nullptr, nullptr),
              err::kDeviceNotConnected)
        << "a hub on the port is not a phone";
    EXPECT_EQ(getHubPortInfo(sysfs, "usb1", 3, &vid, &pid, nullptr, nullptr),
              err::kDeviceNotConnected);
    EXPECT_EQ(getHubPortInfo(sysfs, "usb7", 1, &vid, &pid, nullptr, nullptr), err::kFileNotFound);
}

TEST_F(HubQueries, MissingSerialLeavesTheOutputAloneAndLongSerialsAreCut) {
    ASSERT_TRUE(tree.plug(phone("1-1", "")));
    int vid = 0, pid = 0;
    std::string serial = "unchanged";
    EXPECT_EQ(getHubPortInfo(sysfs, "usb1", 1, &vid, &pid, nullptr, &serial), 0);
    EXPECT_EQ(serial, "unchanged");
    EXPECT_NE(getStringDescriptor(sysfs, "usb1", 1, serial), 0);
    EXPECT_EQ(serial, "unchanged");

    std::string huge(300, 'A');
    huge[254] = '\xc3';  // a two-byte character across the cut
    huge[255] = '\xa9';
    ASSERT_TRUE(tree.plug(phone("1-2", huge)));
    ASSERT_EQ(getStringDescriptor(sysfs, "usb1", 2, serial), 0);
    EXPECT_EQ(serial.size(), 254u);
}

TEST_F(HubQueries, PresenceCheckCodes) {
    ASSERT_TRUE(tree.addRootHub(1, 4));
    ASSERT_TRUE(tree.plug(phone("1-2", "ABC")));
    ASSERT_TRUE(tree.addHub("1-3", 2));
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "usb1", 2, 0x18d1, 0x4ee7), 0);
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "usb1", 0, 0x18d1, 0x4ee7), 87);
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "", 2, 0x18d1, 0x4ee7), 87);
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "usb1", 2, 0, 0x4ee7), 87);
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "usb1", 5, 0x18d1, 0x4ee7), -1);
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "usb9", 1, 0x18d1, 0x4ee7), -1);
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "usb1", 2, 0x18d1, 0x1111), 87) << "another device";
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "usb1", 3, 0x05e3, 0x0610), 1167) << "a hub";
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "usb1", 1, 0x18d1, 0x4ee7), 1167) << "empty port";
    ASSERT_TRUE(tree.unplug("1-2"));
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "usb1", 2, 0x18d1, 0x4ee7), 1167);
    tree.writeAttribute("usb1", "maxchild", "lots\n");
    EXPECT_EQ(CheckDeviceOnHub(sysfs, "usb1", 2, 0x18d1, 0x4ee7), 87) << "unreadable hub";
}

// Without a tree the hubs are the system's, named by their interface paths:
// such a path goes to the system's queries (which Linux does not have), a
// tree name is refused as a bad argument.
TEST(HubQueriesWithoutATree, SystemHubPathsGoToTheSystemAndTreeNamesAreRefused) {
    UsbSysfs system("", "");
    const std::string hub =
        "\\\\?\\USB#ROOT_HUB30#4&2a1b3c4d&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    int vid = 0, pid = 0;
    EXPECT_EQ(getHubPortInfo(system, hub, 1, &vid, &pid, nullptr, nullptr), err::kNotImplemented);
    EXPECT_EQ(CheckDeviceOnHub(system, hub, 1, 0x18d1, 0x4ee7), 87) << "hub unreadable";
    EXPECT_EQ(getHubPortInfo(system, "usb1", 1, &vid, &pid, nullptr, nullptr),
              err::kInvalidParameter);
    EXPECT_EQ(CheckDeviceOnHub(system, "usb1", 1, 0x18d1, 0x4ee7), -1) << "no such hub";
}

TEST_F(HubQueries, HalfWrittenAndHostileEntriesAreNotDevices) {
    ASSERT_TRUE(tree.addRootHub(1, 8));
    ASSERT_TRUE(tree.plug(phone("1-1", "good")));
    FakeUsbDevice noVendor = phone("1-2", "a");
    noVendor.overrides["idVendor"] = std::nullopt;
    ASSERT_TRUE(tree.plug(noVendor));
    FakeUsbDevice garbage = phone("1-3", "b");
    garbage.overrides["idVendor"] = "zz;rm -rf\n";
    ASSERT_TRUE(tree.plug(garbage));
    FakeUsbDevice tooLong = phone("1-4", "c");
    tooLong.overrides["idProduct"] = "4ee70\n";
    ASSERT_TRUE(tree.plug(tooLong));
    FakeUsbDevice unreadable = phone("1-5", "d");
    unreadable.unreadable = {"idProduct"};
    ASSERT_TRUE(tree.plug(unreadable));
    FakeUsbDevice beyond = phone("1-9", "e");  // the root hub has 8 ports
    ASSERT_TRUE(tree.plug(beyond));
    // An entry whose parent hub is not there.
    std::filesystem::create_directory_symlink(tree.deviceDir("1-1"), tree.linkPath("4-1"));

    std::vector<dd::platform::UsbPortDevice> found = sysfs.listPortDevices();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "1-1");
    EXPECT_EQ(found[0].hubPath, "usb1");
    EXPECT_EQ(found[0].port, 1);

    int vid = 0, pid = 0;
    for (int port : {2, 3, 4, 5}) {
        EXPECT_EQ(getHubPortInfo(sysfs, "usb1", port, &vid, &pid, nullptr, nullptr),
                  err::kDeviceNotConnected)
            << port;
    }
}

TEST_F(HubQueries, ListingFlagsHubsAndKeepsEveryPhone) {
    ASSERT_TRUE(tree.addHub("2-1", 7));
    for (int port = 1; port <= 7; ++port) {
        ASSERT_TRUE(tree.plug(phone("2-1." + std::to_string(port), "s" + std::to_string(port))));
    }
    std::vector<dd::platform::UsbPortDevice> found = sysfs.listPortDevices();
    EXPECT_EQ(found.size(), 8u);
    EXPECT_EQ(std::count_if(found.begin(), found.end(), [](const auto& d) { return d.isHub; }), 1);
}

TEST_F(HubQueries, AdbDriverStateFollowsInterfaceAndNode) {
    ASSERT_TRUE(tree.plug(phone("1-1", "Serial1")));
    EXPECT_EQ(sysfs.adbInterfaceState("Serial1", 0x18d1, 0x4ee7), dd::platform::kUsbDriverWorking);
    EXPECT_EQ(sysfs.adbInterfaceState("SERIAL1", 0x18d1, 0x4ee7), dd::platform::kUsbDriverWorking)
        << "serials compare ignoring case";
    EXPECT_EQ(sysfs.adbInterfaceState("other", 0x18d1, 0x4ee7), dd::platform::kUsbDriverNotFound)
        << "the device is there but carries another serial";
    EXPECT_EQ(sysfs.adbInterfaceState("Serial1", 0x18d1, 0x4ee8), dd::platform::kUsbDriverNotFound);
    EXPECT_EQ(sysfs.adbInterfaceState("", 0x18d1, 0x4ee7), dd::platform::kUsbDriverNotFound);

    std::filesystem::remove(tree.nodePath("1-1"));
    EXPECT_EQ(sysfs.adbInterfaceState("Serial1", 0x18d1, 0x4ee7), dd::platform::kUsbDriverProblem)
        << "node not there yet: still installing";

    FakeUsbDevice noAdb = phone("1-2", "Serial2");
    noAdb.adb = false;
    ASSERT_TRUE(tree.plug(noAdb));
    EXPECT_EQ(sysfs.adbInterfaceState("Serial2", 0x18d1, 0x4ee7), dd::platform::kUsbDriverNotFound);
}

TEST_F(HubQueries, DriverStateOfTheOwnPortDecidesOverAClone) {
    // Two devices carry one serial; the thread of the one on 1-1 asks about
    // its own port, whatever order the tree lists them in.
    ASSERT_TRUE(tree.plug(phone("1-1", "Twin")));
    ASSERT_TRUE(tree.plug(phone("1-2", "Twin")));
    std::filesystem::remove(tree.nodePath("1-2"));
    EXPECT_EQ(sysfs.adbInterfaceState("Twin", 0x18d1, 0x4ee7, "1-1"),
              dd::platform::kUsbDriverWorking);
    EXPECT_EQ(sysfs.adbInterfaceState("Twin", 0x18d1, 0x4ee7, "1-2"),
              dd::platform::kUsbDriverProblem);
    // A port whose device is not the phone falls back to the tree; an empty
    // one means the phone has left its place: not found, without a scan.
    EXPECT_EQ(sysfs.adbInterfaceState("Serial3", 0x18d1, 0x4ee7, "1-1"),
              dd::platform::kUsbDriverNotFound);
    ASSERT_TRUE(tree.plug(phone("1-3", "Serial3")));
    EXPECT_EQ(sysfs.adbInterfaceState("Serial3", 0x18d1, 0x4ee7, "1-1"),
              dd::platform::kUsbDriverWorking);
    EXPECT_EQ(sysfs.adbInterfaceState("Serial3", 0x18d1, 0x4ee7, "1-9"),
              dd::platform::kUsbDriverNotFound);
}

TEST_F(HubQueries, MtpStateFollowsTheInterface) {
    FakeUsbDevice mtp = phone("1-1", "m1");
    mtp.mtp = true;
    ASSERT_TRUE(tree.plug(mtp));
    FakeUsbDevice labelled = phone("1-2", "m2");
    labelled.extraInterfaces.push_back({0xff, 0xff, 0x00, "MTP"});
    ASSERT_TRUE(tree.plug(labelled));
    ASSERT_TRUE(tree.plug(phone("1-3", "m3")));
    EXPECT_EQ(sysfs.mtpInterfaceState("m1", 0x18d1, 0x4ee7), dd::platform::kUsbDriverWorking);
    EXPECT_EQ(sysfs.mtpInterfaceState("m2", 0x18d1, 0x4ee7), dd::platform::kUsbDriverWorking);
    EXPECT_EQ(sysfs.mtpInterfaceState("m3", 0x18d1, 0x4ee7), dd::platform::kUsbDriverNotFound);
}

}  // namespace
