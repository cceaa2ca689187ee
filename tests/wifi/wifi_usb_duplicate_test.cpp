// One phone on USB and on Wi-Fi at once is served once: whichever way
// reached it first keeps it.
#include <gtest/gtest.h>

#include "wifi_harness.h"

namespace {

class WifiAndUsb : public ::testing::Test, public ddtest::WifiUsbMachine {
  protected:
    std::unique_ptr<phonesim::WifiPhone> wifiPhone(const std::string& serial,
                                                   const std::string& pid) {
        phonesim::WifiPhoneSpec spec;
        spec.imei = "86" + serial;
        spec.serial = serial;
        spec.pid = pid;
        return WifiUsbMachine::wifiPhone(spec);
    }
    phonesim::SimPhoneSpec usbPhone(const std::string& serial, uint16_t vid, uint16_t pid) {
        phonesim::SimPhoneSpec spec;
        spec.serial = serial;
        spec.vid = vid;
        spec.pid = pid;
        spec.service.imei = "86" + serial;
        return spec;
    }
};

TEST_F(WifiAndUsb, PhoneServedOverUsbIsNotTakenUpOverWifi) {
    start();
    ASSERT_NE(machine.plug(usbPhone("DUAL0001", 0x18d1, 0x4ee7)), nullptr);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    auto phone = wifiPhone("DUAL0001", "4ee7");
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(sandbox.waitForLog("USB connection already exists! exit."));
    EXPECT_EQ(host.count(NEW_DEVICE), 1u);
    EXPECT_TRUE(phone->service().requests().empty());
    EXPECT_EQ(host.last(NEW_DEVICE).serverip, "127.0.0.1");
}

TEST_F(WifiAndUsb, PhoneServedOverWifiIsNotTakenUpOverUsb) {
    start();
    auto phone = wifiPhone("DUAL0002", "0c01");
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    ASSERT_NE(machine.plug(usbPhone("DUAL0002", 0x1d45, 0x0c01)), nullptr);
    ASSERT_TRUE(sandbox.waitForLog("Wireless connection already exists! exit."));
    EXPECT_EQ(host.count(NEW_DEVICE), 1u);
    EXPECT_EQ(host.last(NEW_DEVICE).serverip, phone->address());
}

}  // namespace
