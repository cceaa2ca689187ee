#include <gtest/gtest.h>

#include "base/text_codec.h"
#include "deviceinfo/device_record.h"
#include "deviceinfo/record_builder.h"

namespace {

std::string text(const char16_t* field, size_t capacity) {
    return dd::fieldToUtf8(field, capacity);
}
#define FIELD(f) text(f, sizeof(f) / sizeof(f[0]))

TEST(RecordBuilder, FillsEveryFieldAndTheTwoCards) {
    AndroidDeviceInfo info;
    info.setSerialNumber("R58M40ABCDE");
    info.httpPort = 40123;
    info.imei = "356938035643809";
    info.model = "Galaxy S21";
    info.firmware = "G991BXXU5";
    info.optName = "Orange";
    info.serverIp = "127.0.0.1";
    info.battery = 0x10050;  // only the low 16 bits travel
    info.factoryReset = 2;
    info.kernel = 11.0;
    info.sdk = 30;
    info.vid = 0x04e8;
    info.pid = 0x6860;
    info.storageType = u'B';
    info.autoLaunch = 1;
    info.allowWifi = 1;
    info.pairedDev = "ALICE@HOST";
    info.usbIfId = "/sys/devices/usb1/1-2";
    info.emmc = {64000000000LL, 12000000000LL, "mounted", "/storage/emulated/0", "emmc-1", ""};
    DeviceRecord* record = BuildDeviceRecord(info, "alice@host");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(FIELD(record->serialno), "R58M40ABCDE");
    EXPECT_EQ(FIELD(record->imei), "356938035643809");
    EXPECT_EQ(FIELD(record->allowwifi), "yes") << "paired with this PC in other letter case";
    EXPECT_EQ(FIELD(record->autolaunch), "auto");
    EXPECT_EQ(record->adbdeviceport, 40123u);
    EXPECT_EQ(record->battery, 0x50);
    EXPECT_EQ(record->factoryreset, 2u);
    EXPECT_EQ(record->storagetype, u'B');
    ASSERT_EQ(record->cardcount, 2u);
    EXPECT_EQ(record->cards[0].kind, 0u);
    EXPECT_EQ(FIELD(record->cards[0].state), "none");
    EXPECT_EQ(FIELD(record->cards[0].path), "null");
    EXPECT_EQ(FIELD(record->cards[0].sid), "null");
    EXPECT_EQ(record->cards[1].kind, 1u);
    EXPECT_EQ(record->cards[1].storageTotal, 64000000000ULL);
    EXPECT_EQ(FIELD(record->cards[1].path), "/storage/emulated/0");
    freeDeviceRecord(record);
}

TEST(RecordBuilder, WifiNeedsBothPermissionAndPairing) {
    AndroidDeviceInfo info;
    info.allowWifi = 1;
    DeviceRecord* record = BuildDeviceRecord(info, "me@pc");
    EXPECT_EQ(FIELD(record->allowwifi), "no") << "no paired PC";
    freeDeviceRecord(record);
    info.pairedDev = "other@pc";
    record = BuildDeviceRecord(info, "me@pc");
    EXPECT_EQ(FIELD(record->allowwifi), "no");
    EXPECT_EQ(FIELD(record->autolaunch), "manual");
    freeDeviceRecord(record);
}

TEST(RecordBuilder, OverlongPhoneTextIsCutAndTerminated) {
    AndroidDeviceInfo info;
    info.model = std::string(500, 'M');
    info.firmware = std::string(2000, 'F') + "\xF0\x9F\x98\x80";
    info.setSerialNumber(std::string(100, 'S'));
    DeviceRecord* record = BuildDeviceRecord(info, "");
    EXPECT_EQ(FIELD(record->model).size(), 63u);
    EXPECT_EQ(record->model[63], 0);
    EXPECT_EQ(FIELD(record->firmware).size(), 511u);
    EXPECT_EQ(FIELD(record->serialno).size(), 63u);
    freeDeviceRecord(record);
}

}  // namespace
