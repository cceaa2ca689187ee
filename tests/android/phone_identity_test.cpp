// What a phone says about itself is not taken on trust: a serial another
// plugged phone goes by, one that does not fit the record, one with quotes or
// nothing at all. Through the C interface, against whole simulated phones.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "phone_harness.h"

namespace {

using ddtest::Notice;
using ddtest::PhoneMachine;
using phonesim::SimPhoneSpec;

SimPhoneSpec phone(const std::string& serial, const std::string& port,
                   const std::string& claimedSerial, const std::string& imei) {
    SimPhoneSpec spec = ddtest::simPhone(serial, port, imei);
    spec.service.serialNumber = claimedSerial;
    return spec;
}

class PhoneIdentity : public ::testing::Test, public PhoneMachine {};

TEST_F(PhoneIdentity, APhoneClaimingAnotherPhonesSerialWaitsAndDisturbsNothing) {
    start();
    ASSERT_NE(machine.plug(phone("REALPHONE1", "1-1", "REALPHONE1", "351111111111111")), nullptr);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    Notice real = host.last(NEW_DEVICE);

    ASSERT_NE(machine.plug(phone("IMPOSTOR01", "1-2", "REALPHONE1", "352222222222222")), nullptr);
    ASSERT_TRUE(
        sandbox.waitForLog("reports serial REALPHONE1, which the phone on usb1 port 1 goes "
                           "by; it is not announced while that phone is there"));
    EXPECT_EQ(host.count(NEW_DEVICE), 1u);
    EXPECT_EQ(host.count(REMOVE_DEVICE), 0u) << "the real phone was not taken away";
    DeviceRecord record = recordFor("REALPHONE1");
    EXPECT_EQ(module.DeviceReadyToSync(&record), 0);
    EXPECT_EQ(dd::fieldToUtf8(real.record->imei), "351111111111111");

    // Once the phone that held the serial is gone, the other is served like any phone.
    ASSERT_TRUE(machine.unplug("REALPHONE1"));
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, 2));
    Notice moved = host.last(NEW_DEVICE);
    EXPECT_EQ(moved.serial, "REALPHONE1");
    EXPECT_EQ(moved.imei, "352222222222222");
    EXPECT_EQ(host.count(REMOVE_DEVICE), 1u);
}

TEST_F(PhoneIdentity, SerialsThatCannotBeAKeyFallBackToTheAdbSerial) {
    start();
    struct Case {
        const char* adbSerial;
        std::string claimed;
    };
    const Case cases[] = {
        {"LONGSER001", std::string(64, 'L')},  // one more than the record holds
        {"QUOTED0001", "R58\"'] | //device"},
        {"EMPTY00001", ""},
        {"EMPTY00002", ""},
        {"UNKNOWN001", "unknown"},
    };
    int port = 1;
    for (const Case& c : cases) {
        ASSERT_NE(machine.plug(phone(c.adbSerial, "1-" + std::to_string(port), c.claimed,
                                     "35000000000000" + std::to_string(port))),
                  nullptr);
        ++port;
    }
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, std::size(cases)));
    std::set<std::string> announced;
    for (const Notice& notice : host.notices()) {
        if (notice.code == NEW_DEVICE) {
            announced.insert(notice.serial);
        }
    }
    std::set<std::string> expected;
    for (const Case& c : cases) {
        expected.insert(c.adbSerial);
    }
    EXPECT_EQ(announced, expected);
    EXPECT_TRUE(sandbox.logContains("which cannot be its key; keeping LONGSER001"));
    // Every host call finds each phone by the serial of its record.
    for (const Case& c : cases) {
        DeviceRecord record = recordFor(c.adbSerial);
        EXPECT_EQ(module.DeviceReadyToSync(&record), 0) << c.adbSerial;
        EXPECT_EQ(module.DisconnectDevice(&record), 0) << c.adbSerial;
    }
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE, std::size(cases)));
}

// The adb serial is the key a phone falls back to: one that a record's
// serialno cannot hold whole is no key, so that phone is not served under
// it; one that fits is served, and the host's calls find it.
TEST_F(PhoneIdentity, AnAdbSerialLongerThanARecordHoldsIsNoKey) {
    start();
    const std::string tooLong(64, 'T');
    const std::string fits(63, 'F');
    ASSERT_NE(machine.plug(phone(tooLong, "1-1", "unknown", "356100000000001")), nullptr);
    ASSERT_NE(machine.plug(phone(fits, "1-2", "unknown", "356100000000002")), nullptr);
    ASSERT_TRUE(sandbox.waitForLog(
        "serial number of 64 characters, longer than a record holds (63), leave detect thread"));
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    EXPECT_EQ(host.last(NEW_DEVICE).serial, fits);
    DeviceRecord record = recordFor(fits);
    EXPECT_EQ(module.DeviceReadyToSync(&record), 0);
    for (const Notice& notice : host.notices()) {
        EXPECT_NE(notice.serial, tooLong.substr(0, 63))
            << "notification " << notice.code << " carried a cut serial";
    }
}

// The phone that claims the serial comes first: the real one, plugged later,
// must not be handed the claimant's information object (two threads would
// write one object, which ThreadSanitizer reports) and waits for the serial
// like any other claimant.
TEST_F(PhoneIdentity, TwoPhonesNeverShareOneInformationObject) {
    start();
    ASSERT_NE(machine.plug(phone("CLAIMANT01", "1-1", "VICTIM0001", "353333333333333")), nullptr);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    EXPECT_EQ(host.last(NEW_DEVICE).serial, "VICTIM0001");
    ASSERT_NE(machine.plug(phone("VICTIM0001", "1-2", "VICTIM0001", "354444444444444")), nullptr);
    ASSERT_TRUE(sandbox.waitForLog("reports serial VICTIM0001, which the phone on usb1 port 1"))
        << sandbox.log();
    EXPECT_EQ(host.count(NEW_DEVICE), 1u);
    ASSERT_TRUE(machine.unplug("CLAIMANT01"));
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, 2));
    EXPECT_EQ(host.last(NEW_DEVICE).imei, "354444444444444");
}

// A phone given up before its own serial was read (its companion service
// cannot be installed) leaves with the serial its DEVICE_DISCOVERED carried,
// so the host can tell which phone it was.
TEST_F(PhoneIdentity, APhoneGivenUpEarlyLeavesUnderItsDiscoveredSerial) {
    std::remove((sandbox.moduleDir + "/QXHttpd.apk").c_str());
    std::remove((sandbox.moduleDir + "/QXHttpd16.apk").c_str());
    start();
    SimPhoneSpec spec = phone("NOPACKAGE1", "1-1", "NOPACKAGE1", "355555555555555");
    spec.serviceInstalled = false;
    ASSERT_NE(machine.plug(spec), nullptr);
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE));
    EXPECT_EQ(host.last(DEVICE_DISCOVERED).serial, "NOPACKAGE1");
    EXPECT_EQ(host.last(REMOVE_DEVICE).serial, "NOPACKAGE1");
    EXPECT_EQ(host.count(NEW_DEVICE), 0u);
}

}  // namespace
