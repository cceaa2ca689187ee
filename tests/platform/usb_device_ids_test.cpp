// The texts Windows' device queries return, taken apart: instance ids,
// interface paths, location strings, problem numbers and the bytes a hub's
// I/O controls answer with.
#include "platform/usb_device_ids.h"

#include <gtest/gtest.h>

#include <vector>

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

TEST(UsbDeviceIds, TheArrivalPathNamesItsDeviceInstance) {
    const char* guid = "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    EXPECT_EQ(dd::platform::usbInstanceIdOfInterfacePath(
                  std::string("\\\\?\\USB#VID_05C6&PID_9025#R58M40#") + (guid + 1)),
              "USB\\VID_05C6&PID_9025\\R58M40");
    EXPECT_EQ(dd::platform::usbInstanceIdOfInterfacePath(
                  std::string("\\\\?\\usb#vid_18d1&pid_4ee7&mi_01#6&2a1b&0&0001") + guid),
              "usb\\vid_18d1&pid_4ee7&mi_01\\6&2a1b&0&0001");
    for (const char* bad :
         {"\\\\?\\USB#VID_05C6&PID_9025#R58M40", "\\\\?\\HID#VID_05C6&PID_9025#A#{x}",
          "\\\\?\\USB#VID_05C6&PID_9025#../x#{x}", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(dd::platform::usbInstanceIdOfInterfacePath(bad), "");
    }
}

TEST(UsbDeviceIds, OnlyDeviceInterfacePathsAreSystemHubPaths) {
    const std::string hub =
        "\\\\?\\USB#ROOT_HUB30#4&2a1b&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    struct {
        std::string path;
        bool ok;
    } cases[] = {
        {hub, true},
        {"\\\\.\\HCD0", true},
        {"\\\\?\\" + std::string(dd::platform::kMaxSystemHubPathBytes - 4, 'a'), true},
        {"\\\\?\\" + std::string(dd::platform::kMaxSystemHubPathBytes - 3, 'a'), false},
        {"\\\\?\\", false},
        {"usb1", false},
        {"1-2.3", false},
        {"C:\\Windows\\hub", false},
        {"\\\\server\\share\\hub", false},
        {"\\\\?\\C:\\..\\x", false},
        {"\\\\?\\C:/x", false},
        {"\\\\?\\USB#A\x01", false},
        {"\\\\?\\USB#\xC3\xA9", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(dd::platform::isSystemHubPath(c.path), c.ok);
    }
}

// Builds the 35 packed bytes of a port's connection information.
std::vector<unsigned char> connectionBytes(uint16_t vid, uint16_t pid, uint8_t serialIndex,
                                           bool isHub, uint16_t address, uint32_t status) {
    std::vector<unsigned char> bytes(dd::platform::kUsbConnectionInfoBytes, 0);
    bytes[0] = 3;                    // ConnectionIndex
    bytes[4] = 18;                   // bLength
    bytes[5] = 1;                    // bDescriptorType
    bytes[8] = isHub ? 0x09 : 0x00;  // bDeviceClass
    bytes[12] = vid & 0xff;
    bytes[13] = vid >> 8;
    bytes[14] = pid & 0xff;
    bytes[15] = pid >> 8;
    bytes[20] = serialIndex;
    bytes[24] = isHub ? 1 : 0;
    bytes[25] = address & 0xff;
    bytes[26] = address >> 8;
    for (int i = 0; i < 4; ++i) {
        bytes[31 + i] = static_cast<unsigned char>(status >> (8 * i));
    }
    return bytes;
}

TEST(UsbDeviceIds, HubNodeAndConnectionAnswersAreReadWithinWhatCameBack) {
    std::vector<unsigned char> node(76, 0);
    node[4] = 9;     // hub descriptor length
    node[5] = 0x29;  // hub descriptor type
    node[6] = 255;   // ports: the widest a byte allows
    int ports = -1;
    ASSERT_TRUE(dd::platform::parseUsbHubNodeInfo(node.data(), node.size(), ports));
    EXPECT_EQ(ports, 255);
    ports = -1;
    EXPECT_FALSE(dd::platform::parseUsbHubNodeInfo(node.data(), 6, ports));  // truncated
    node[0] = 1;  // a composite device's parent node, not a hub
    EXPECT_FALSE(dd::platform::parseUsbHubNodeInfo(node.data(), node.size(), ports));
    EXPECT_EQ(ports, -1);

    std::vector<unsigned char> phone = connectionBytes(0x18d1, 0x4ee7, 3, false, 0x0107, 1);
    dd::platform::UsbConnectionInfo info;
    ASSERT_TRUE(dd::platform::parseUsbConnectionInfo(phone.data(), phone.size(), info));
    EXPECT_EQ(info.status, dd::platform::kUsbDeviceConnected);
    EXPECT_EQ(info.vid, 0x18d1);
    EXPECT_EQ(info.pid, 0x4ee7);
    EXPECT_EQ(info.serialIndex, 3);
    EXPECT_FALSE(info.isHub);
    EXPECT_EQ(info.address, 0x0107);

    std::vector<unsigned char> hub = connectionBytes(0x05e3, 0x0608, 0, true, 2, 1);
    ASSERT_TRUE(dd::platform::parseUsbConnectionInfo(hub.data(), hub.size(), info));
    EXPECT_TRUE(info.isHub);
    EXPECT_EQ(info.serialIndex, 0);
    std::vector<unsigned char> empty = connectionBytes(0, 0, 0, false, 0, 0);
    ASSERT_TRUE(dd::platform::parseUsbConnectionInfo(empty.data(), empty.size(), info));
    EXPECT_NE(info.status, dd::platform::kUsbDeviceConnected);
    info.vid = 7;
    EXPECT_FALSE(dd::platform::parseUsbConnectionInfo(phone.data(), phone.size() - 1, info));
    EXPECT_EQ(info.vid, 7);
}

// Little-endian UTF-16 of text, one unit a character (ASCII and BMP only).
std::vector<unsigned char> utf16(std::u16string_view text) {
    std::vector<unsigned char> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<unsigned char>(unit & 0xff));
        bytes.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return bytes;
}

std::vector<unsigned char> driverKeyBytes(std::u16string_view name, uint32_t claimed) {
    std::vector<unsigned char> bytes = {3, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<unsigned char>(claimed >> (8 * i)));
    }
    std::vector<unsigned char> text = utf16(name);
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

TEST(UsbDeviceIds, DriverKeyNamesAreTakenOnlyAsLongAsTheyCameBack) {
    const std::u16string key = u"{36fc9e60-c465-11cf-8056-444553540000}\\0012";
    struct {
        std::vector<unsigned char> bytes;
        bool ok;
        const char* name;
    } cases[] = {
        {driverKeyBytes(key + u'\0', static_cast<uint32_t>(8 + 2 * (key.size() + 1))), true,
         "{36fc9e60-c465-11cf-8056-444553540000}\\0012"},
        {driverKeyBytes(u"ab", 12), true, "ab"},         // no terminating NUL
        {driverKeyBytes(u"ab", 11), true, "a"},          // odd length: whole units only
        {driverKeyBytes(u"ab", 14), false, ""},          // claims more than came back
        {driverKeyBytes(u"ab", 0xFFFFFFFF), false, ""},  // absurd length
        {driverKeyBytes(u"ab", 4), false, ""},           // shorter than its header
        {driverKeyBytes(u"", 8), false, ""},             // empty name
        {{3, 0, 0, 0, 8, 0}, false, ""},                 // truncated header
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = "untouched";
        ASSERT_EQ(dd::platform::parseUsbDriverKeyName(c.bytes.data(), c.bytes.size(), name), c.ok);
        EXPECT_EQ(name, c.ok ? c.name : "untouched");
    }
}

std::vector<unsigned char> stringDescriptor(std::vector<unsigned char> text, int length = -1,
                                            unsigned char type = 3) {
    std::vector<unsigned char> bytes = {
        static_cast<unsigned char>(length < 0 ? text.size() + 2 : length), type};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

TEST(UsbDeviceIds, SerialStringDescriptorsAreCheckedAndConverted) {
    const size_t limit = dd::platform::UsbSysfs::kMaxSerialBytes;
    // 126 euro signs: the longest descriptor there is, 378 bytes of UTF-8.
    std::vector<unsigned char> euros = utf16(std::u16string(126, u'\u20ac'));
    std::string euro = "\xE2\x82\xAC";
    std::string first85;
    for (int i = 0; i < 85; ++i) {
        first85 += euro;
    }
    struct {
        const char* what;
        std::vector<unsigned char> bytes;
        size_t limit;
        bool ok;
        std::string text;
    } cases[] = {
        {"plain", stringDescriptor(utf16(u"R58M40ABCDE")), limit, true, "R58M40ABCDE"},
        {"accented", stringDescriptor(utf16(u"S\u00e9r")), limit, true, "S\xC3\xA9r"},
        {"surrogate pair", stringDescriptor({0x3D, 0xD8, 0x00, 0xDE}), limit, true,
         "\xF0\x9F\x98\x80"},
        {"lone surrogate", stringDescriptor({0x3D, 0xD8, 0x41, 0x00}), limit, true,
         "\xEF\xBF\xBD"
         "A"},
        {"stops at NUL", stringDescriptor(utf16(std::u16string(u"AB\0CD", 5))), limit, true, "AB"},
        {"odd length byte", stringDescriptor(utf16(u"AB"), 5), limit, true, "A"},
        {"empty string", stringDescriptor({}), limit, true, ""},
        {"bounded", stringDescriptor(euros), limit, true, first85},
        {"cut at a character", stringDescriptor(euros), limit - 1, true,
         first85.substr(0, first85.size() - euro.size())},
        {"not a string", stringDescriptor(utf16(u"AB"), -1, 1), limit, false, ""},
        {"length beyond the answer", stringDescriptor(utf16(u"AB"), 8), limit, false, ""},
        {"length below its header", stringDescriptor(utf16(u"AB"), 1), limit, false, ""},
        {"one byte", {4}, limit, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = "untouched";
        ASSERT_EQ(
            dd::platform::parseUsbStringDescriptor(c.bytes.data(), c.bytes.size(), c.limit, text),
            c.ok);
        EXPECT_EQ(text, c.ok ? c.text : "untouched");
    }
}

}  // namespace
