// The records handed to the host: how one is built from a phone's
// information, and the store's once-only rule (a phone is one serial to the
// host, so NEW_DEVICE goes out once per serial while its record is
// outstanding, even when two information objects carry that serial).
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/text_codec.h"
#include "core/device_detect_app.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record.h"
#include "deviceinfo/device_record_store.h"
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

std::mutex g_mutex;
std::vector<std::pair<int32_t, std::string>> g_notices;

void QX_CALL record(int32_t code, DeviceRecord* record) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notices.emplace_back(code, dd::fieldToUtf8(record->serialno));
}

class RecordStoreOnce : public ::testing::Test {
  protected:
    void SetUp() override {
        g_notices.clear();
        theApp.deviceCB.store(&record);
        theApp.m_bStopped.store(0);
    }
    void TearDown() override {
        theApp.m_bStopped.store(1);
        theApp.deviceCB.store(nullptr);
    }
    static std::unique_ptr<AndroidDeviceInfo> phone(const std::string& serial, int port) {
        auto info = std::make_unique<AndroidDeviceInfo>();
        info->setSerialNumber(serial);
        info->httpPort = port;
        return info;
    }
    static size_t count(int32_t code, const std::string& serial) {
        std::lock_guard<std::mutex> lock(g_mutex);
        size_t n = 0;
        for (const auto& [c, s] : g_notices) {
            n += c == code && s == serial;
        }
        return n;
    }
};

TEST_F(RecordStoreOnce, SecondObjectWithTheSameSerialIsNotAnnounced) {
    auto first = phone("R58M40ABCDE", 40001);
    auto second = phone("r58m40abcde", 40002);  // serials compare without case
    EXPECT_EQ(NotifyNewDevice(first.get()), 1);
    EXPECT_EQ(NotifyNewDevice(second.get()), 0);
    EXPECT_EQ(second->record, nullptr);
    EXPECT_EQ(count(NEW_DEVICE, "R58M40ABCDE"), 1u);
    EXPECT_EQ(count(NEW_DEVICE, "r58m40abcde"), 0u);

    // Once the first is removed the serial is free again.
    NotifyRemoveDevice(first.get());
    EXPECT_EQ(NotifyNewDevice(second.get()), 1);
    EXPECT_EQ(count(NEW_DEVICE, "r58m40abcde"), 1u);
    NotifyRemoveDevice(second.get());
}

TEST_F(RecordStoreOnce, SecondObjectLeavingDoesNotRemoveThePhoneOfTheFirst) {
    auto first = phone("TWINSERIAL", 40001);
    auto second = phone("TWINSERIAL", 40002);
    EXPECT_EQ(NotifyNewDevice(first.get()), 1);
    EXPECT_EQ(NotifyNewDevice(second.get()), 0);
    NotifyRemoveDevice(second.get());
    EXPECT_EQ(count(REMOVE_DEVICE, "TWINSERIAL"), 0u) << "the announced phone is still there";
    NotifyRemoveDevice(first.get());
    EXPECT_EQ(count(REMOVE_DEVICE, "TWINSERIAL"), 1u);
}

// Other serials are not held up; the same object (with or without a serial)
// is announced once until REMOVE_DEVICE; an object destroyed with its record frees its serial.
TEST_F(RecordStoreOnce, OtherSerialsAndLaterObjectsAreAnnounced) {
    auto a = phone("PHONEA", 40001);
    auto b = phone("PHONEB", 40002);
    EXPECT_EQ(NotifyNewDevice(a.get()), 1);
    EXPECT_EQ(NotifyNewDevice(b.get()), 1);
    EXPECT_EQ(NotifyNewDevice(a.get()), 0);
    NotifyRemoveDevice(a.get());
    // Without a serial nothing is held in the table: the object's own record
    // is what keeps it from a second announcement.
    auto unnamed = phone("", 40004);
    EXPECT_EQ(NotifyNewDevice(unnamed.get()), 1);
    EXPECT_EQ(NotifyNewDevice(unnamed.get()), 0);
    EXPECT_EQ(count(NEW_DEVICE, ""), 1u);
    NotifyRemoveDevice(unnamed.get());
    b.reset();
    auto again = phone("PHONEB", 40003);
    EXPECT_EQ(NotifyNewDevice(again.get()), 1);
    NotifyRemoveDevice(again.get());
}

}  // namespace
