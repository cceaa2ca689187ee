// Phones that reach adb late, through the C interface against whole
// simulated phones: listed some seconds after their USB plug, "unauthorized"
// until their user accepts the USB debugging prompt, or never ready. The
// thread waits on the adb server's device list while the phone stays
// plugged, tells the host what the phone waits for, never restarts the adb
// server meanwhile, and gives the phone up at the configured limit.
#include <gtest/gtest.h>

#include "phone_harness.h"

namespace {

using ddtest::PhoneMachine;
using ddtest::simPhone;
using phonesim::SimPhoneSpec;

class LateAdbPhone : public ::testing::Test, public PhoneMachine {
  protected:
    // A short limit for each adb command, so that waits a few seconds long
    // already outlast any one command the wait could be made of.
    ddtest::ScopedEnv m_commandLimit{"DEVICEDETECT_ADB_TIMEOUT_MS", "3000"};

    // The first DRIVER_INSTALLING naming a waiting state in adb.
    std::string waitingState(const std::string& serial) {
        for (const ddtest::Notice& notice : host.notices()) {
            std::string firmware = dd::fieldToUtf8(notice.copy.firmware);
            if (notice.code == DRIVER_INSTALLING && notice.serial == serial &&
                firmware.rfind("adb:", 0) == 0) {
                return firmware.substr(4);
            }
        }
        return "";
    }
};

// A phone listed in adb some seconds after its plug is taken up once adb
// lists it: no getprop fails, no adb restart, the host heard it waits.
struct LateCase {
    const char* name;
    std::chrono::milliseconds listedAfter;
    std::chrono::milliseconds offlineFor;
};

class ListedLate : public LateAdbPhone, public ::testing::WithParamInterface<LateCase> {};

TEST_P(ListedLate, IsAnnouncedOnceAdbListsIt) {
    start();
    SimPhoneSpec spec = simPhone("LATE0001");
    spec.adbListedAfter = GetParam().listedAfter;
    spec.adbOfflineFor = GetParam().offlineFor;
    ASSERT_NE(machine.plug(spec), nullptr);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, 1, GetParam().listedAfter + std::chrono::seconds(30)));
    EXPECT_EQ(machine.adb().killCount(), 0);
    EXPECT_EQ(machine.adb().phone("LATE0001")->getpropCalls(), 1) << "read once, when listed";
    EXPECT_EQ(waitingState("LATE0001"), "absent") << "the host heard the phone waits";
    EXPECT_TRUE(sandbox.logContains("[DETECT] adb lists LATE0001 as device after"));
    EXPECT_FALSE(sandbox.logContains("get prop failed"));
}

INSTANTIATE_TEST_SUITE_P(
    AfterThePlug, ListedLate,
    ::testing::Values(LateCase{"FourSeconds", std::chrono::seconds(4), std::chrono::seconds(1)},
                      LateCase{"SixSeconds", std::chrono::seconds(6), {}}),
    [](const ::testing::TestParamInfo<LateCase>& info) { return info.param.name; });

TEST_F(LateAdbPhone, AnUnauthorizedPhoneWaitsForItsUserWithoutAdbRestarts) {
    start();
    SimPhoneSpec spec = simPhone("PROMPT01");
    spec.adbUnauthorized = true;
    ASSERT_NE(machine.plug(spec), nullptr);
    ASSERT_TRUE(ddtest::waitUntil([&] { return !waitingState("PROMPT01").empty(); }));
    EXPECT_EQ(waitingState("PROMPT01"), "unauthorized");
    EXPECT_TRUE(sandbox.waitForLog("accept the USB debugging prompt on the phone"));
    // Longer on the prompt than an adb command may take: nothing is
    // announced and adb is left alone.
    EXPECT_FALSE(host.waitFor(NEW_DEVICE, 1, std::chrono::seconds(4)));
    EXPECT_EQ(machine.adb().killCount(), 0);
    EXPECT_EQ(machine.adb().phone("PROMPT01")->getpropCalls(), 0);

    ASSERT_TRUE(machine.adb().authorize("PROMPT01"));
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    EXPECT_EQ(machine.adb().killCount(), 0);
    EXPECT_EQ(host.last(NEW_DEVICE).serial, "PROMPT01");
}

TEST_F(LateAdbPhone, APhoneNeverReadyIsGivenUpAtTheLimit) {
    sandbox.writeModuleFile("orqBRAXLoader.ini", "[Detect]\nLogLevel=Debug\nAdbWaitSeconds=2\n");
    start();
    SimPhoneSpec spec = simPhone("NEVER001");
    spec.adbUnauthorized = true;
    ASSERT_NE(machine.plug(spec), nullptr);
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE));
    EXPECT_TRUE(sandbox.waitForLog("CUsbDeviceThread_Android::InitInstance() --"));
    EXPECT_TRUE(sandbox.logContains("[DETECT] gave up waiting for NEVER001 in adb after 2 s"));
    EXPECT_EQ(host.last(REMOVE_DEVICE).serial, "NEVER001");
    EXPECT_EQ(host.count(NEW_DEVICE), 0u);
    EXPECT_EQ(machine.adb().killCount(), 0);
}

TEST_F(LateAdbPhone, UnplugEndsTheWaitAndWithdrawsTheWaitingPhone) {
    start();
    SimPhoneSpec spec = simPhone("UNPLUG01");
    spec.adbUnauthorized = true;
    ASSERT_NE(machine.plug(spec), nullptr);
    ASSERT_TRUE(host.waitFor(DRIVER_INSTALLING));
    ASSERT_TRUE(machine.unplug("UNPLUG01"));
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE));
    EXPECT_TRUE(sandbox.waitForLog("CUsbDeviceThread_Android::InitInstance() --"));
    EXPECT_EQ(host.last(REMOVE_DEVICE).serial, "UNPLUG01");
    EXPECT_FALSE(sandbox.logContains("gave up waiting"));
}

}  // namespace
