// checkKernelInfo and WaitSystemLaunchCompleted against emulated phones:
// what they read, how often they ask, when they restart the adb server, and
// how an unplug or a stop cuts every wait short.
#include "android/boot_readiness.h"

#include "readiness_harness.h"

namespace {

using dd::android::checkKernelInfo;
using dd::android::WaitSystemLaunchCompleted;
using ddtest::ScriptedStep;

constexpr uint16_t kVid = 0x18d1;
constexpr uint16_t kPid = 0x4ee7;

class BootReadiness : public ::testing::Test {
  protected:
    void SetUp() override { env.server.setRestartAfterKill(true); }

    std::shared_ptr<phonesim::AdbPhone> addPhone(phonesim::AdbPhoneConfig config) {
        std::string serial = config.serial;
        env.server.addPhone(std::move(config));
        return env.server.phone(serial);
    }
    phonesim::AdbPhoneConfig phone(const std::string& serial = "R58M40ABCDE") {
        return phonesim::makeDefaultPhone(serial);
    }
    int read(const std::string& serial, uint16_t pid = kPid) {
        return checkKernelInfo(step, kVid, pid, serial, info, bootCompleted);
    }

    ddtest::ModuleWithRunner module;
    ddtest::AdbEnvironment env;
    ScriptedStep step;
    KernelInfo info;
    int32_t bootCompleted = -1;
};

TEST_F(BootReadiness, ReadsKernelInfoOfABootedPhone) {
    auto p = addPhone(phone());
    EXPECT_EQ(read("R58M40ABCDE"), 1);
    EXPECT_EQ(info.sdk, 29);
    EXPECT_EQ(info.model, "Orq X1");
    EXPECT_EQ(info.brand, "Orq");
    EXPECT_DOUBLE_EQ(info.androidVersion, 10.0);
    EXPECT_DOUBLE_EQ(info.velaVersion, 4.5);
    EXPECT_EQ(info.productVersion, "V11.0.3.0");
    EXPECT_EQ(bootCompleted, 1);
    EXPECT_EQ(p->getpropCalls(), 1);
    EXPECT_EQ(step.pauses.load(), 0);
    EXPECT_TRUE(module.sandbox.logContains(
        "CUsbDeviceThread_Android::checkKernelInfo(6353,20199,R58M40ABCDE) ++"));
    EXPECT_TRUE(module.sandbox.logContains("build.prop len "));
    EXPECT_TRUE(module.sandbox.logContains("read prop success."));
}

TEST_F(BootReadiness, APhoneStillBootingReportsBootNotCompleted) {
    phonesim::AdbPhoneConfig config = phone();
    config.bootCompleted = false;
    addPhone(config);
    EXPECT_EQ(read("R58M40ABCDE"), 1);
    EXPECT_EQ(bootCompleted, 0);
    EXPECT_EQ(info.sdk, 29);
}

TEST_F(BootReadiness, Android15IsRefusedWithoutAnyGetprop) {
    auto p = addPhone(phone());
    EXPECT_EQ(read("R58M40ABCDE", 0x0C01), 0);
    EXPECT_EQ(p->getpropCalls(), 0);
    EXPECT_TRUE(module.sandbox.logContains("find 1.5 android"));
    EXPECT_TRUE(module.sandbox.logContains("get prop failed leave"));
}

TEST_F(BootReadiness, TheOnlyPhoneRestartsTheServerOnceAndReadsInTheSecondPass) {
    phonesim::AdbPhoneConfig config = phone();
    config.getpropFailures = 3;
    auto p = addPhone(config);
    EXPECT_EQ(read("R58M40ABCDE"), 1);
    EXPECT_EQ(env.server.killCount(), 1);
    EXPECT_EQ(p->getpropCalls(), 4);
    EXPECT_EQ(info.model, "Orq X1");
    EXPECT_EQ(step.pauses.load(), 4);  // three after the failures, one after the restart
    EXPECT_EQ(step.pausedMs.load(), 2000);
    EXPECT_TRUE(module.sandbox.logContains("get prop fail count 3 "));
    EXPECT_TRUE(module.sandbox.logContains("call KillAdbProcess"));
}

TEST_F(BootReadiness, WithOtherPhonesRunningTheServerIsNotRestarted) {
    theApp.m_lConnectCount = 2;
    phonesim::AdbPhoneConfig config = phone();
    config.getpropFailures = 3;
    auto p = addPhone(config);
    EXPECT_EQ(read("R58M40ABCDE"), 0);
    EXPECT_EQ(env.server.killCount(), 0);
    EXPECT_EQ(p->getpropCalls(), 3);
}

TEST_F(BootReadiness, TwoFailedPassesGiveUpAfterSixTries) {
    phonesim::AdbPhoneConfig config = phone();
    config.getpropFailures = 100;
    auto p = addPhone(config);
    EXPECT_EQ(read("R58M40ABCDE"), 0);
    EXPECT_EQ(p->getpropCalls(), 6);
    EXPECT_EQ(env.server.killCount(), 1);
    EXPECT_TRUE(module.sandbox.logContains("get prop failed leave"));
}

TEST_F(BootReadiness, AnUnknownSerialFailsLikeAFailingPhone) {
    theApp.m_lConnectCount = 3;
    EXPECT_EQ(read("NOT-THERE"), 0);
    EXPECT_EQ(env.server.killCount(), 0);
}

TEST_F(BootReadiness, UnplugDuringAnyWaitOfTheReadEndsItAtOnce) {
    // Pauses: 1-3 after the first pass's failures, 4 after the restart,
    // 5-7 in the second pass. Unplugging in each one ends the read there.
    for (int unplugAt = 1; unplugAt <= 7; ++unplugAt) {
        SCOPED_TRACE(unplugAt);
        env.server.removePhone("R58M40ABCDE");
        phonesim::AdbPhoneConfig config = phone();
        config.getpropFailures = 100;
        auto p = addPhone(config);
        ScriptedStep scripted;
        std::atomic<bool> plugged{true};
        scripted.present = [&] { return plugged.load(); };
        scripted.onPause = [&](int n) {
            if (n == unplugAt)
                plugged = false;
        };
        KernelInfo kernel;
        int32_t boot = 0;
        EXPECT_EQ(checkKernelInfo(scripted, kVid, kPid, "R58M40ABCDE", kernel, boot), 0);
        EXPECT_EQ(scripted.pauses.load(), unplugAt);
        EXPECT_EQ(p->getpropCalls(), unplugAt <= 3 ? unplugAt : unplugAt - 1);
    }
    EXPECT_TRUE(module.sandbox.logContains("device is unplug. ret"));
}

TEST_F(BootReadiness, UnplugRightAfterAGoodReadIsNoticed) {
    addPhone(phone());
    step.present = [] { return false; };
    EXPECT_EQ(read("R58M40ABCDE"), 0);
    EXPECT_TRUE(module.sandbox.logContains("res1"));
}

TEST_F(BootReadiness, StopOfTheModuleEndsTheRead) {
    phonesim::AdbPhoneConfig config = phone();
    config.getpropFailures = 100;
    auto p = addPhone(config);
    step.onPause = [](int) { theApp.m_bStopped = 1; };
    EXPECT_EQ(read("R58M40ABCDE"), 0);
    EXPECT_EQ(p->getpropCalls(), 1);
}

TEST_F(BootReadiness, BootWaitSeesTheKeyAtOnce) {
    auto p = addPhone(phone());
    EXPECT_EQ(WaitSystemLaunchCompleted(step, "R58M40ABCDE", kVid, kPid, 60000), 1);
    EXPECT_EQ(step.pauses.load(), 0);
    EXPECT_EQ(p->getpropCalls(), 1);
    EXPECT_TRUE(module.sandbox.logContains("[sys.boot_completed]: [1]"));
    EXPECT_TRUE(
        module.sandbox.logContains("--CUsbDeviceThread_Android::WaitSystemLaunchCompleted"));
}

TEST_F(BootReadiness, BootWaitFollowsALateBoot) {
    phonesim::AdbPhoneConfig config = phone();
    config.bootCompletedAfterGetprops = 3;
    auto p = addPhone(config);
    EXPECT_EQ(WaitSystemLaunchCompleted(step, "R58M40ABCDE", kVid, kPid, 60000), 1);
    EXPECT_EQ(p->getpropCalls(), 4);
    EXPECT_EQ(step.pauses.load(), 3);
    EXPECT_EQ(step.pausedMs.load(), 3000);
}

TEST_F(BootReadiness, BootWaitGivesUpAtItsLimit) {
    phonesim::AdbPhoneConfig config = phone();
    config.bootCompleted = false;
    auto p = addPhone(config);
    EXPECT_EQ(WaitSystemLaunchCompleted(step, "R58M40ABCDE", kVid, kPid, 5000), -1);
    EXPECT_EQ(p->getpropCalls(), 6);  // at 0, 1000, ... 5000
    EXPECT_EQ(step.pauses.load(), 5);
}

TEST_F(BootReadiness, BootWaitWithALimitThatIsNoMultipleOfASecondStillEnds) {
    phonesim::AdbPhoneConfig config = phone();
    config.bootCompleted = false;
    addPhone(config);
    EXPECT_EQ(WaitSystemLaunchCompleted(step, "R58M40ABCDE", kVid, kPid, 2500), -1);
    EXPECT_EQ(step.pauses.load(), 3);
}

TEST_F(BootReadiness, BootWaitEndsOnUnplugAndOnExit) {
    phonesim::AdbPhoneConfig config = phone();
    config.bootCompleted = false;
    auto p = addPhone(config);
    std::atomic<bool> plugged{true};
    step.present = [&] { return plugged.load(); };
    step.onPause = [&](int n) {
        if (n == 2)
            plugged = false;
    };
    EXPECT_EQ(WaitSystemLaunchCompleted(step, "R58M40ABCDE", kVid, kPid, 60000), -1);
    EXPECT_EQ(p->getpropCalls(), 3);

    ScriptedStep leaving;
    leaving.onPause = [&](int) { leaving.exit = true; };
    EXPECT_EQ(WaitSystemLaunchCompleted(leaving, "R58M40ABCDE", kVid, kPid, 60000), -1);
    EXPECT_EQ(leaving.pauses.load(), 1);
}

}  // namespace
