// Many phones plugged at the same moment, and command links that accept but
// never answer: every phone is announced exactly once, through its own ports,
// and a silent link is made again instead of being waited on for ever.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "phone_harness.h"

namespace {

using ddtest::PhoneMachine;
using phonesim::SimPhoneSpec;

// On root hubs of 10 ports.
SimPhoneSpec stormPhone(int n) {
    return ddtest::simPhone("STORM" + std::to_string(1000 + n),
                            std::to_string(n / 10 + 1) + "-" + std::to_string(n % 10 + 1),
                            "3569380356" + std::to_string(10000 + n));
}

class PhoneStorm : public ::testing::Test, public PhoneMachine {};

TEST_F(PhoneStorm, TwentyPhonesAtOnceAreEachAnnouncedOnceOnTheirOwnPorts) {
    constexpr int kPhones = 20;
    start();
    for (int i = 0; i < kPhones; ++i) {
        ASSERT_NE(machine.plug(stormPhone(i)), nullptr);
    }
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, kPhones, std::chrono::seconds(60)));

    std::map<std::string, int> announced;
    std::set<uint32_t> ports;
    for (const ddtest::Notice& notice : host.notices()) {
        if (notice.code != NEW_DEVICE) {
            continue;
        }
        ++announced[notice.serial];
        EXPECT_TRUE(ports.insert(notice.copy.adbdeviceport).second)
            << notice.serial << " shares adbdeviceport " << notice.copy.adbdeviceport;
        // The record is the phone's own: its IMEI came through its own port.
        int n = std::stoi(notice.serial.substr(5)) - 1000;
        EXPECT_EQ(notice.imei, stormPhone(n).service.imei) << notice.serial;
    }
    EXPECT_EQ(announced.size(), static_cast<size_t>(kPhones));
    for (const auto& [serial, count] : announced) {
        EXPECT_EQ(count, 1) << serial;
    }
    // Three forwards per phone (service, command, sync), none shared.
    std::vector<uint16_t> forwards = machine.adb().forwardPorts();
    EXPECT_EQ(forwards.size(), static_cast<size_t>(3 * kPhones));
    EXPECT_EQ(std::set<uint16_t>(forwards.begin(), forwards.end()).size(), forwards.size());

    for (int i = 0; i < kPhones; ++i) {
        ASSERT_TRUE(machine.unplug(stormPhone(i).serial));
    }
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE, kPhones, std::chrono::seconds(30)));
    EXPECT_EQ(host.count(NEW_DEVICE), static_cast<size_t>(kPhones)) << "none announced twice";
}

TEST_F(PhoneStorm, SilentCommandLinkIsMadeAgain) {
    start();
    SimPhoneSpec spec = stormPhone(0);
    spec.serial = "SILENT01";
    phonesim::SimPhone* sim = machine.plug(spec);
    ASSERT_NE(sim, nullptr);
    sim->syncTool().setProbeAnswer("");  // accepts the link, never answers
    // The tool takes its answer as it reads the probe: once the probe is in,
    // the first link has stayed silent.
    ASSERT_TRUE(ddtest::waitUntil(
        [&] { return sim->syncTool().commandReceived().find("AT+CGSN") != std::string::npos; },
        std::chrono::seconds(30)));
    sim->syncTool().setProbeAnswer("861234567890123\r\n");
    // Only a new link sends the probe again, and only its answer announces.
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, 1, std::chrono::seconds(30)));
    EXPECT_GE(sim->syncTool().commandConnections(), 2);
    EXPECT_TRUE(sandbox.logContains("7890 no answer in"));
    EXPECT_EQ(host.count(NEW_DEVICE), 1u);
}

}  // namespace
