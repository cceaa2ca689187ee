// The record store's once-only rule: a phone is one serial to the host, so
// NEW_DEVICE goes out once per serial while its record is outstanding, even
// when two information objects carry that serial.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/text_codec.h"
#include "core/device_detect_app.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/device_record_store.h"

namespace {

std::mutex g_mutex;
std::vector<std::pair<int32_t, std::string>> g_notices;

void record(int32_t code, DeviceRecord* record) {
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

// Other serials are not held up; the same object is announced once until
// REMOVE_DEVICE; an object destroyed with its record frees its serial.
TEST_F(RecordStoreOnce, OtherSerialsAndLaterObjectsAreAnnounced) {
    auto a = phone("PHONEA", 40001);
    auto b = phone("PHONEB", 40002);
    EXPECT_EQ(NotifyNewDevice(a.get()), 1);
    EXPECT_EQ(NotifyNewDevice(b.get()), 1);
    EXPECT_EQ(NotifyNewDevice(a.get()), 0);
    NotifyRemoveDevice(a.get());
    b.reset();
    auto again = phone("PHONEB", 40003);
    EXPECT_EQ(NotifyNewDevice(again.get()), 1);
    NotifyRemoveDevice(again.get());
}

}  // namespace
