// The module's bridge to the runner: found beside the module, loaded per
// call, and a missing library or entry point is a failed call with the
// caller's text untouched.
#include "android/device_controller_bridge.h"

#include <thread>

#include "adb_harness.h"

namespace {

// No runner beside the module, or another library under its name: every
// call fails, the caller's text is left as it was, and the log says why.
TEST(DeviceControllerBridge, MissingLibraryOrEntryPointsFailTheCall) {
    for (bool otherLibrary : {false, true}) {
        ddtest::ModuleWithRunner module(false);
        std::string runner = module.sandbox.moduleDir + "/libDeviceController.so";
        if (otherLibrary) {
            std::string other = std::string(DD_TEST_MODULE_DIR) + "/libOutputLog.so";
            ASSERT_EQ(symlink(other.c_str(), runner.c_str()), 0);
        }
        std::string output = "previous";
        EXPECT_EQ(RunAdbCmd("devices", output, kAdbTimeLimitMs), 1);
        EXPECT_EQ(output, "previous");
        COrqDiskHelper disks;
        DeviceRecord record{};
        EXPECT_EQ(disks.UnmountDisk(&record), 1);
        if (otherLibrary) {
            for (const char* entry : {"QX_RunAdbCmd", "QX_UnmountDisk"}) {
                EXPECT_TRUE(module.sandbox.logContains("unable find " + std::string(entry) +
                                                       " interface in DeviceController.dll"));
            }
        } else {
            EXPECT_TRUE(module.sandbox.logContains("load " + runner + " failed."));
            EXPECT_EQ(KillAdbProcess(), 1);
        }
    }
}

class BridgeWithServer : public ::testing::Test {
  protected:
    ddtest::ModuleWithRunner module;
    ddtest::AdbEnvironment env;
};

TEST_F(BridgeWithServer, RunsCommandsAndKeepsTextAsUtf8) {
    phonesim::AdbPhoneConfig phone = phonesim::makeDefaultPhone("R58M40ABCDE");
    phone.properties["ro.product.model"] = "T\xc3\xa9l\xc3\xa9phone \xe6\x89\x8b\xe6\x9c\xba";
    env.server.addPhone(phone);
    std::string output;
    EXPECT_EQ(RunAdbCmd("-s R58M40ABCDE shell getprop ro.product.model", output, kAdbTimeLimitMs),
              0);
    EXPECT_EQ(output, "T\xc3\xa9l\xc3\xa9phone \xe6\x89\x8b\xe6\x9c\xba\r\n");
    EXPECT_EQ(RunAdbCmd("-s GONE shell getprop", output, kAdbTimeLimitMs), 0);
    EXPECT_EQ(output, "error: device 'GONE' not found\n");
}

TEST_F(BridgeWithServer, ManyThreadsLoadAndCallTheRunnerAtOnce) {
    for (int i = 0; i < 4; ++i) {
        env.server.addPhone(phonesim::makeDefaultPhone("P" + std::to_string(i)));
    }
    std::atomic<int> good{0};
    ddtest::onThreads(8, [&](int t) {
        for (int n = 0; n < 5; ++n) {
            std::string output;
            if (RunAdbCmd("-s P" + std::to_string((t + n) % 4) + " shell getprop", output,
                          kAdbTimeLimitMs) == 0 &&
                output.size() > 1000) {
                ++good;
            }
        }
    });
    EXPECT_EQ(good.load(), 40);
}

TEST_F(BridgeWithServer, KillAdbProcessAsksTheServerToExit) {
    EXPECT_EQ(KillAdbProcess(), 1);
    EXPECT_TRUE(env.server.waitStopped(std::chrono::seconds(10)));
    EXPECT_EQ(env.server.killCount(), 1);
    EXPECT_TRUE(module.sandbox.logContains("call KillAdbProcess"));
}

}  // namespace
