// checkKernelInfo and WaitSystemLaunchCompleted against emulated phones:
// what they read, how often they ask, when they restart the adb server, and
// how an unplug or a stop cuts every wait short.
#include "android/boot_readiness.h"

#include "adb_harness.h"

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

// How often the read asks and whether it restarts the server (the fields
// themselves are the parser's): a booted phone, one still booting, Android 1.5 (never asked),
// failing phones with and without other phone threads running, an unknown serial.
struct ReadCase {
    const char* name;
    bool bootCompleted;
    int getpropFailures;
    long connectCount;
    uint16_t pid;
    const char* serial;
    int result, getpropCalls, kills, boot;
    const char* logLine;
};

TEST_F(BootReadiness, ReadsAskRestartAndGiveUpAsTheyShould) {
    const ReadCase cases[] = {
        {"booted", true, 0, 1, kPid, "R58M40ABCDE", 1, 1, 0, 1, "build.prop len "},
        {"booting", false, 0, 1, kPid, "R58M40ABCDE", 1, 1, 0, 0, "read prop success."},
        {"android 1.5", true, 0, 1, 0x0C01, "R58M40ABCDE", 0, 0, 0, -1, "find 1.5 android"},
        {"only phone", true, 3, 1, kPid, "R58M40ABCDE", 1, 4, 1, 1, "call KillAdbProcess"},
        {"other phones", true, 3, 2, kPid, "R58M40ABCDE", 0, 3, 0, -1, "get prop failed leave"},
        {"two failed passes", true, 100, 1, kPid, "R58M40ABCDE", 0, 6, 1, -1,
         "get prop failed leave"},
        {"unknown serial", true, 0, 3, kPid, "NOT-THERE", 0, 0, 0, -1, "get prop failed leave"},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        int killsBefore = env.server.killCount();
        env.server.removePhone("R58M40ABCDE");
        phonesim::AdbPhoneConfig config = phone();
        config.bootCompleted = c.bootCompleted;
        config.getpropFailures = c.getpropFailures;
        auto p = addPhone(config);
        theApp.m_lConnectCount = c.connectCount;
        ScriptedStep scripted;
        KernelInfo kernel;
        int32_t boot = -1;
        EXPECT_EQ(checkKernelInfo(scripted, kVid, c.pid, c.serial, kernel, boot), c.result);
        EXPECT_EQ(p->getpropCalls(), c.getpropCalls);
        EXPECT_EQ(env.server.killCount() - killsBefore, c.kills);
        if (c.result == 1) {
            EXPECT_EQ(kernel.model, "Orq X1");
            EXPECT_EQ(kernel.sdk, 29);
            EXPECT_EQ(boot, c.boot);
        }
        if (c.getpropCalls == 1) {
            EXPECT_EQ(scripted.pauses.load(), 0);
        }
        if (c.getpropCalls == 4) {
            // Three pauses after the failures, one after the restart.
            EXPECT_EQ(scripted.pauses.load(), 4);
            EXPECT_EQ(scripted.pausedMs.load(), 2000);
            EXPECT_TRUE(module.sandbox.logContains("get prop fail count 3 "));
        }
        EXPECT_TRUE(module.sandbox.logContains(c.logLine));
    }
    EXPECT_TRUE(module.sandbox.logContains(
        "CUsbDeviceThread_Android::checkKernelInfo(6353,20199,R58M40ABCDE) ++"));
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

// An unplug right after a good read is noticed; a stop of the module ends
// the retries.
TEST_F(BootReadiness, UnplugAfterAGoodReadAndAStopEndTheRead) {
    auto p = addPhone(phone());
    step.present = [] { return false; };
    EXPECT_EQ(read("R58M40ABCDE"), 0);
    EXPECT_TRUE(module.sandbox.logContains("res1"));

    env.server.removePhone("R58M40ABCDE");
    phonesim::AdbPhoneConfig failing = phone();
    failing.getpropFailures = 100;
    p = addPhone(failing);
    ScriptedStep stopping;
    stopping.onPause = [](int) { theApp.m_bStopped = 1; };
    EXPECT_EQ(checkKernelInfo(stopping, kVid, kPid, "R58M40ABCDE", info, bootCompleted), 0);
    EXPECT_EQ(p->getpropCalls(), 1);
}

// The boot wait asks once a second until the key is there or its limit
// (0, 1000, ... ms) has passed.
TEST_F(BootReadiness, BootWaitAsksEverySecondUpToItsLimit) {
    struct Case {
        bool booted;
        int bootedAfter;
        int limitMs, result, getpropCalls, pauses;
    };
    for (const Case& c : {Case{true, 0, 60000, 1, 1, 0}, Case{true, 3, 60000, 1, 4, 3},
                          Case{false, 0, 5000, -1, 6, 5}, Case{false, 0, 2500, -1, 4, 3}}) {
        SCOPED_TRACE(std::to_string(c.bootedAfter) + " " + std::to_string(c.limitMs));
        env.server.removePhone("R58M40ABCDE");
        phonesim::AdbPhoneConfig config = phone();
        config.bootCompleted = c.booted;
        config.bootCompletedAfterGetprops = c.bootedAfter;
        auto p = addPhone(config);
        ScriptedStep scripted;
        EXPECT_EQ(WaitSystemLaunchCompleted(scripted, "R58M40ABCDE", kVid, kPid, c.limitMs),
                  c.result);
        EXPECT_EQ(p->getpropCalls(), c.getpropCalls);
        EXPECT_EQ(scripted.pauses.load(), c.pauses);
        if (c.limitMs % 1000 == 0) {
            EXPECT_EQ(scripted.pausedMs.load(), c.pauses * 1000);
        }
    }
    EXPECT_TRUE(module.sandbox.logContains("[sys.boot_completed]: [1]"));
    EXPECT_TRUE(
        module.sandbox.logContains("--CUsbDeviceThread_Android::WaitSystemLaunchCompleted"));
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
