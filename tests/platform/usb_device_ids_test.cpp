// The texts Windows' device queries return, taken apart: instance ids,
// interface paths, location strings and problem numbers.
#include "platform/usb_device_ids.h"

#include <gtest/gtest.h>

#include "platform/usb_sysfs.h"

namespace {

using dd::platform::UsbInstanceId;

struct IdCase {
    const char* text;
    bool interfacePath;
    bool ok;
    uint16_t vid;
    uint16_t pid;
    int interfaceNumber;
    const char* instance;
};

TEST(UsbDeviceIds, InstanceIdsAndInterfacePathsAreParsedStrictly) {
    const IdCase cases[] = {
        {"USB\\VID_05C6&PID_9025\\R58M40ABCDE", false, true, 0x05c6, 0x9025, -1, "R58M40ABCDE"},
        {"usb\\vid_18d1&pid_4ee7\\abc", false, true, 0x18d1, 0x4ee7, -1, "abc"},
        {"USB\\VID_18D1&PID_4EE7&MI_01\\6&2A1B&0&0001", false, true, 0x18d1, 0x4ee7, 1,
         "6&2A1B&0&0001"},
        {"\\\\?\\USB#VID_05C6&PID_9025#SER1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", true, true,
         0x05c6, 0x9025, -1, "SER1"},
        {"USB\\VID_05C6&PID_9025", false, false, 0, 0, -1, ""},            // no instance
        {"USB\\VID_05C6&PID_9025\\", false, false, 0, 0, -1, ""},          // empty instance
        {"USB\\VID_05C6&PID_9025\\A\\B", false, false, 0, 0, -1, ""},      // a further part
        {"USB\\VID_5C6&PID_9025\\A", false, false, 0, 0, -1, ""},          // three digits
        {"USB\\VID_05G6&PID_9025\\A", false, false, 0, 0, -1, ""},         // not hex
        {"HID\\VID_05C6&PID_9025\\A", false, false, 0, 0, -1, ""},         // other bus
        {"USB\\VID_05C6&PID_9025\\A\x01", false, false, 0, 0, -1, ""},     // control byte
        {"USB\\VID_05C6&PID_9025\\../x", false, false, 0, 0, -1, ""},      // path separator
        {"\\\\?\\USB#VID_05C6&PID_9025#SER1", true, false, 0, 0, -1, ""},  // no class part
    };
    for (const IdCase& c : cases) {
        SCOPED_TRACE(c.text);
        UsbInstanceId id;
        id.instance = "untouched";
        bool ok = c.interfacePath ? dd::platform::parseUsbInterfacePath(c.text, id)
                                  : dd::platform::parseUsbInstanceId(c.text, id);
        ASSERT_EQ(ok, c.ok);
        if (!ok) {
            EXPECT_EQ(id.instance, "untouched");
            continue;
        }
        EXPECT_EQ(id.vid, c.vid);
        EXPECT_EQ(id.pid, c.pid);
        EXPECT_EQ(id.interfaceNumber, c.interfaceNumber);
        EXPECT_EQ(id.instance, c.instance);
    }
    UsbInstanceId id;
    EXPECT_FALSE(
        dd::platform::parseUsbInstanceId("USB\\VID_05C6&PID_9025\\" + std::string(201, 'A'), id));
}

TEST(UsbDeviceIds, TheDriverChecksIdsAreBuiltInTheirFormat) {
    EXPECT_EQ(dd::platform::usbInstanceId(0x5c6, 0x9025, "ab1"), "USB\\VID_05C6&PID_9025\\ab1");
    EXPECT_EQ(dd::platform::usbInstanceId(0x18d1, 0x4ee7), "USB\\VID_18D1&PID_4EE7");
}

TEST(UsbDeviceIds, LocationStrings) {
    struct {
        const char* text;
        bool ok;
        int port;
        int hub;
    } cases[] = {
        {"Port_#0003.Hub_#0001", true, 3, 1},    {"port_#12.hub_#4", true, 12, 4},
        {"Port_#0000.Hub_#0001", false, 0, 0},   {"Port_#0003.Hub_#", false, 0, 0},
        {"Port_#00003.Hub_#0001", false, 0, 0},  {"Port_#0003.Hub_#0001x", false, 0, 0},
        {"0000.0014.0000.001.003", false, 0, 0}, {"", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int port = -1;
        int hub = -1;
        ASSERT_EQ(dd::platform::parseUsbLocation(c.text, port, hub), c.ok);
        EXPECT_EQ(port, c.ok ? c.port : -1);
        EXPECT_EQ(hub, c.ok ? c.hub : -1);
    }
}

TEST(UsbDeviceIds, ClassPropertyAndProblemNumberGiveTheDriverState) {
    const char* adb = "{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
    EXPECT_TRUE(dd::platform::classGuidMatches("{F72FE0D4-CBCB-407D-8814-9ED673D0DD6B}", adb));
    EXPECT_TRUE(dd::platform::classGuidMatches(
        std::string("{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}\0junk", 43), adb));
    EXPECT_FALSE(dd::platform::classGuidMatches(
        std::string("{f72fe0d4\0-cbcb-407d-8814-9ed673d0dd6b}", 39), adb));
    EXPECT_FALSE(dd::platform::classGuidMatches("{eec5ad98-8080-425f-922a-dabf3de3f69a}", adb));
    EXPECT_FALSE(dd::platform::classGuidMatches("", adb));

    EXPECT_EQ(dd::platform::usbDriverStateOf(true, 0), dd::platform::kUsbDriverWorking);
    EXPECT_EQ(dd::platform::usbDriverStateOf(true, 28), dd::platform::kUsbDriverProblem);
    EXPECT_EQ(dd::platform::usbDriverStateOf(false, 0), dd::platform::kUsbDriverNotFound);
    EXPECT_EQ(dd::platform::usbProblemName(28), "CM_PROB_FAILED_INSTALL");
    EXPECT_EQ(dd::platform::usbProblemName(99), "problem 99");
}

}  // namespace
