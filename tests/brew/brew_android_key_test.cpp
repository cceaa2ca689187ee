// One key, one live phone, whatever family it comes from: a BREW phone whose
// IMEI is the serial of an Android phone being served is not recorded under
// it, and the Android phone's record, sync calls and disconnect stay its
// own. Through the C interface, against whole simulated phones.
#include <gtest/gtest.h>

#include <string>

#include "android/phone_harness.h"
#include "brew_phone.h"
#include "deviceinfo/xml_helper.h"

namespace {

using ddtest::PhoneMachine;
using phonesim::BrewPhone;
using phonesim::BrewPhoneSpec;
using phonesim::SimPhoneSpec;

class CrossFamilyKeys : public ::testing::Test, public PhoneMachine {
  protected:
    // The ports of the detected-device store's entries for imei.
    std::vector<std::string> storeEntries(const std::string& imei) const {
        std::vector<std::string> ports;
        CXmlHelper doc;
        if (doc.LoadFromFile(sandbox.dataDir() + "/xml/detecteddevice.xml") == CXmlHelper::kOk) {
            for (const CXmlNode& device : doc.root().children("device")) {
                if (imei == device.attribute("imei")) {
                    ports.push_back(device.attribute("commport"));
                }
            }
        }
        return ports;
    }
};

TEST_F(CrossFamilyKeys, ABrewPhoneWithAnAndroidPhonesSerialWaitsAndDisturbsNothing) {
    start();
    SimPhoneSpec android;
    android.serial = "SHAREDKEY1";
    android.port = "1-1";
    ASSERT_NE(machine.plug(android), nullptr);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));

    BrewPhoneSpec spec;
    spec.port = "1-2";
    spec.imei = "SHAREDKEY1";
    BrewPhone brew(spec);
    ASSERT_TRUE(brew.plug(machine.usb()));
    ASSERT_TRUE(sandbox.waitForLog(
        "the brew phone on usb1 port 2 reports IMEI SHAREDKEY1, which the phone on usb1 port 1 "
        "goes by; it is not recorded while that phone is there"));
    EXPECT_TRUE(storeEntries("SHAREDKEY1").empty());

    DeviceRecord record = recordFor("SHAREDKEY1");
    EXPECT_EQ(module.DeviceReadyToSync(&record), 0);
    EXPECT_EQ(module.DisconnectDevice(&record), 0);
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE));
    EXPECT_EQ(host.count(REMOVE_DEVICE), 1u);
    EXPECT_TRUE(storeEntries("SHAREDKEY1").empty());

    // Once the Android phone has gone, the key is free for the BREW phone.
    ASSERT_TRUE(machine.unplug("SHAREDKEY1"));
    ASSERT_TRUE(ddtest::waitUntil([&] { return !storeEntries("SHAREDKEY1").empty(); },
                                  std::chrono::seconds(20)));
    EXPECT_EQ(storeEntries("SHAREDKEY1"), std::vector<std::string>{brew.tty()});
}

}  // namespace
