// Local ports forwarded to phones: adb's forward output read back, and the
// forwards made through the runner against the emulated adb server, where
// many phone threads ask at once.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "adb_harness.h"
#include "adb_phone.h"
#include "android/device_controller_bridge.h"
#include "android/port_forward.h"

namespace {

using dd::android::forwardListHas;
using dd::android::forwardLocalPort;
using dd::android::parseForwardReply;

TEST(ForwardReply, PortsErrorsAndWhatIsNotAPort) {
    struct Case {
        const char* text;
        bool ok;
        uint16_t port;
    };
    // Current clients prefix "adb: "; older ones and transport errors do not.
    const Case cases[] = {
        {"40123\n", true, 40123},
        {"\r\n  5555\r\n", true, 5555},
        {"", true, 0},  // no output: success without a port
        {"adb: error: cannot bind listener: Address already in use\n", false, 0},
        {"error: device 'GONE' not found\n", false, 0},
        {"40123\nadb: error: cannot rebind existing socket\n", false, 0},
        {"0\n", false, 0},
        {"65536\n", false, 0},
        {"123abc\n", false, 0},
        {"-5\n", false, 0},
        {"cannot connect to daemon\n", false, 0},
        {"99999999999999999999\n", false, 0},
    };
    for (const Case& c : cases) {
        dd::android::ForwardReply reply = parseForwardReply(c.text);
        EXPECT_EQ(reply.ok, c.ok) << c.text;
        EXPECT_EQ(reply.port, c.port) << c.text;
    }
    EXPECT_EQ(parseForwardReply(cases[3].text).error,
              "adb: error: cannot bind listener: Address already in use");
    std::string flood(100000, 'e');
    EXPECT_LE(parseForwardReply("adb: error: " + flood).error.size(),
              dd::android::kForwardErrorBytes);
}

TEST(ForwardList, FindsOnlyTheExactLine) {
    std::string list = "PHONE1 tcp:40000 tcp:7890\r\nPHONE2 tcp:40001 tcp:7890\n";
    EXPECT_TRUE(forwardListHas(list, "PHONE1", 40000, 7890));
    EXPECT_TRUE(forwardListHas(list, "PHONE2", 40001, 7890));
    EXPECT_FALSE(forwardListHas(list, "PHONE1", 40001, 7890)) << "another phone's port";
    EXPECT_FALSE(forwardListHas(list, "PHONE1", 40000, 7990)) << "another phone port";
    EXPECT_FALSE(forwardListHas(list, "PHONE", 40000, 7890));
    EXPECT_FALSE(forwardListHas("", "PHONE1", 40000, 7890));
}

class ForwardsThroughTheServer : public ::testing::Test {
  protected:
    ddtest::ModuleWithRunner module;
    ddtest::AdbEnvironment env;

    void addPhones(int count) {
        for (int i = 0; i < count; ++i) {
            env.server.addPhone(phonesim::makeDefaultPhone(serial(i)));
        }
    }
    static std::string serial(int i) { return "FWD" + std::to_string(i); }
};

TEST_F(ForwardsThroughTheServer, PortsHandedOutAtOnceAreDistinct) {
    // Many phone threads at once, each with its three forwards: no two may
    // get the same local port, or one phone's link would reach another.
    constexpr int kThreads = 16;
    constexpr int kRounds = 3;
    addPhones(kThreads);
    std::mutex mutex;
    std::vector<uint16_t> ports;
    ddtest::onThreads(kThreads, [&](int t) {
        for (int round = 0; round < kRounds; ++round) {
            for (uint16_t remote : {8182, 7890, 7990}) {
                uint16_t port = forwardLocalPort(serial(t), 0, remote);
                std::lock_guard<std::mutex> lock(mutex);
                ports.push_back(port);
            }
        }
    });
    ASSERT_EQ(ports.size(), static_cast<size_t>(kThreads * kRounds * 3));
    std::set<uint16_t> distinct(ports.begin(), ports.end());
    EXPECT_EQ(distinct.count(0), 0u) << "a forward failed";
    EXPECT_EQ(distinct.size(), ports.size()) << "a local port was handed out twice";
    EXPECT_EQ(env.server.forwardPorts().size(), ports.size())
        << "a forward was moved instead of made";
}

TEST_F(ForwardsThroughTheServer, ReForwardKeepsItsOwnPortAndNeverTakesAnother) {
    addPhones(2);
    uint16_t first = forwardLocalPort(serial(0), 0, 7890);
    ASSERT_NE(first, 0);
    EXPECT_EQ(forwardLocalPort(serial(0), first, 7890), first) << "still ours: kept";
    // Phone 1 believes it owns phone 0's port (an old forward of its own,
    // since given away): it must get a port of its own, not rebind it.
    uint16_t second = forwardLocalPort(serial(1), first, 7890);
    EXPECT_NE(second, 0);
    EXPECT_NE(second, first);
    std::string list;
    ASSERT_EQ(RunAdbCmd("forward --list", list, kAdbTimeLimitMs), 0);
    EXPECT_TRUE(forwardListHas(list, serial(0), first, 7890)) << list;
    EXPECT_TRUE(forwardListHas(list, serial(1), second, 7890)) << list;
}

TEST_F(ForwardsThroughTheServer, ForwardThatWasDroppedIsMadeAgainOnItsPort) {
    addPhones(1);
    uint16_t port = forwardLocalPort(serial(0), 0, 8182);
    ASSERT_NE(port, 0);
    std::string output;
    ASSERT_EQ(RunAdbCmd("forward --remove tcp:" + std::to_string(port), output, kAdbTimeLimitMs),
              0);
    EXPECT_EQ(forwardLocalPort(serial(0), port, 8182), port);
    EXPECT_EQ(env.server.forwardPorts().size(), 1u);
}

TEST_F(ForwardsThroughTheServer, FailedForwardIsSeen) {
    // The runner reports this one as "adb: error: device 'GONE' not found".
    EXPECT_EQ(forwardLocalPort("GONE", 0, 7890), 0);
    EXPECT_EQ(forwardLocalPort("GONE", 40000, 7890), 0);
    EXPECT_TRUE(module.sandbox.logContains("FAILED: forward to GONE port 7890"));
    EXPECT_TRUE(env.server.forwardPorts().empty());
}

}  // namespace
