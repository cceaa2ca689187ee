// Wi-Fi phones that anyone on the network can announce cannot crowd out the
// other phones: an address serves one phone, a phone goes by a key that no
// other live phone has, and Wi-Fi phones hold a share of the device threads.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "wifi_harness.h"

namespace {

using ddtest::Notice;
using namespace std::chrono_literals;

class WifiCrowd : public ::testing::Test, public ddtest::WifiUsbMachine {
  protected:
    static phonesim::WifiPhoneSpec wifiSpec(const std::string& imei, const std::string& serial) {
        phonesim::WifiPhoneSpec spec;
        spec.imei = imei;
        spec.serial = serial;
        return spec;
    }
    // Makes the phone's companion service answer with this serial and IMEI.
    static void serviceAnswers(phonesim::WifiPhone& phone, const std::string& serial,
                               const std::string& imei) {
        phonesim::PhoneConfig config = phone.service().config();
        config.serialNumber = serial;
        config.imei = imei;
        phone.service().setConfig(config);
    }
    void limitWifiPhones(int count) {
        sandbox.writeModuleFile("orqBRAXLoader.ini", "[Detect]\nLogLevel=Debug\nMaxWifiPhones=" +
                                                         std::to_string(count) + "\n");
    }
    bool announced(const std::string& serial) {
        return host.first(NEW_DEVICE, serial).code == NEW_DEVICE;
    }
};

TEST_F(WifiCrowd, StormFromOneAddressLeavesRoomForAUsbPhone) {
    start();
    auto storm = wifiPhone(wifiSpec("860000000510000", ""));
    serviceAnswers(*storm, "", "");  // one service answers for every phone announced
    for (int i = 0; i < 255; ++i) {
        qxwifi::AnnouncementFields fields;
        fields.imei = "8600000005" + std::to_string(10000 + i);
        fields.paired = pcIdentity;
        fields.port = "8183";
        ASSERT_TRUE(
            storm->sendRaw(qxwifi::formatAnnouncement(qxwifi::AnnouncementEvent::Connect, fields)));
    }
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));

    phonesim::SimPhoneSpec usb;
    usb.serial = "CROWD0001";
    usb.service.imei = "860000000519999";
    ASSERT_NE(machine.plug(usb), nullptr);
    ASSERT_TRUE(ddtest::waitUntil([&] { return announced("CROWD0001"); }, 60s))
        << "the USB phone plugged after the storm is served";

    std::set<std::string> serials;
    size_t fromStorm = 0;
    for (const Notice& notice : host.notices()) {
        if (notice.code != NEW_DEVICE) {
            continue;
        }
        EXPECT_FALSE(notice.serial.empty());
        EXPECT_TRUE(serials.insert(notice.serial).second) << notice.serial << " announced twice";
        fromStorm += notice.serverip == storm->address();
    }
    EXPECT_EQ(fromStorm, 1u) << "one phone for the address";
    EXPECT_EQ(host.first(NEW_DEVICE, "860000000510000").serverip, storm->address())
        << "the first phone announced there, keyed by its IMEI";
}

TEST_F(WifiCrowd, PhoneWithoutAUsableSerialGoesByItsImeiOrIsNotServed) {
    start();
    struct Case {
        std::string imei, announcedSerial, serviceSerial, key;  // key "": not served
    };
    const Case cases[] = {
        {"860000000520001", "", "", "860000000520001"},
        {"860000000520002", "unknown", "unknown", "860000000520002"},
        {"860000000520003", "", "UNKNOWN", "860000000520003"},
        {"860000000520004", "CROWD0004", "unknown", "CROWD0004"},
        {"unknown", "", "", ""},  // the placeholder many phones report
    };
    std::vector<std::unique_ptr<phonesim::WifiPhone>> phones;
    size_t served = 0;
    for (const Case& c : cases) {
        phones.push_back(wifiPhone(wifiSpec(c.imei, c.announcedSerial)));
        serviceAnswers(*phones.back(), c.serviceSerial, c.imei);
        ASSERT_TRUE(phones.back()->connect());
        served += !c.key.empty();
    }
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, served));
    ASSERT_TRUE(sandbox.waitForLog("not served: it has no serial number or IMEI"));
    for (size_t i = 0; i < std::size(cases); ++i) {
        if (!cases[i].key.empty()) {
            EXPECT_EQ(host.first(NEW_DEVICE, cases[i].key).serverip, phones[i]->address())
                << cases[i].imei;
        }
    }
    EXPECT_EQ(host.count(NEW_DEVICE), served);
    EXPECT_TRUE(phones.back()->service().requests().empty());
}

TEST_F(WifiCrowd, WifiPhonesHoldNoMoreThanTheirShare) {
    limitWifiPhones(2);
    start();
    auto first = wifiPhone(wifiSpec("860000000530001", "CROWD0301"));
    auto second = wifiPhone(wifiSpec("860000000530002", "CROWD0302"));
    auto third = wifiPhone(wifiSpec("860000000530003", "CROWD0303"));
    ASSERT_TRUE(first->connect());
    ASSERT_TRUE(second->connect());
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, 2));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(third->connect());
    }
    ASSERT_TRUE(sandbox.waitForLog("places of Wi-Fi phones are taken"));
    // Handled after the third phone's reports: they have all been refused.
    ASSERT_TRUE(first->disconnect());
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE));
    EXPECT_EQ(ddtest::countOf(sandbox.log(), "places of Wi-Fi phones are taken"), 1u)
        << "repeated refusals are counted, not logged one by one";
    EXPECT_TRUE(third->service().requests().empty());

    ASSERT_TRUE(third->connect());
    ASSERT_TRUE(ddtest::waitUntil([&] { return announced("CROWD0303"); }));
    EXPECT_EQ(host.count(NEW_DEVICE), 3u);
    EXPECT_EQ(module.stopDetect(), 0);
    EXPECT_TRUE(sandbox.logContains("2 more wifi phones not served within a minute"));
}

TEST_F(WifiCrowd, WifiPhoneWaitsUnannouncedWhileAUsbPhoneGoesByItsKey) {
    start();
    phonesim::SimPhoneSpec usb;
    usb.serial = "CROWD0401";
    usb.service.imei = "860000000540001";
    usb.deviceNode = false;  // held at the driver wait, going by its serial
    ASSERT_NE(machine.plug(usb), nullptr);
    ASSERT_TRUE(host.waitFor(DRIVER_INSTALLING));

    auto wifi = wifiPhone(wifiSpec("860000000540002", "CROWD0401"));
    ASSERT_TRUE(wifi->connect());
    ASSERT_TRUE(sandbox.waitForLog("the Wi-Fi phone at " + wifi->address() +
                                   " reports serial CROWD0401, which the phone on"));
    EXPECT_EQ(host.count(NEW_DEVICE), 0u);

    ASSERT_TRUE(machine.finishDriver("CROWD0401"));
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    EXPECT_EQ(host.last(NEW_DEVICE).serverip, "127.0.0.1") << "the phone that had the key first";
    ASSERT_TRUE(machine.unplug("CROWD0401"));
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE));
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, 2)) << "the Wi-Fi phone once the key is free";
    Notice later = host.last(NEW_DEVICE);
    EXPECT_EQ(later.serial, "CROWD0401");
    EXPECT_EQ(later.serverip, wifi->address());
}

}  // namespace
