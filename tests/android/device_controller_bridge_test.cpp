// The module's bridge to the runner: found beside the module, loaded per
// call, and a missing library or entry point is a failed call with the
// caller's text untouched.
#include "android/device_controller_bridge.h"

#include <thread>

#include "readiness_harness.h"

namespace {

TEST(DeviceControllerBridge, MissingLibraryLeavesTheOutputAndLogs) {
    ddtest::ModuleWithRunner module(false);
    std::string output = "previous";
    EXPECT_EQ(RunAdbCmd("devices", output, kAdbTimeLimitMs), 1);
    EXPECT_EQ(output, "previous");
    EXPECT_TRUE(module.sandbox.logContains("load " + module.sandbox.moduleDir +
                                           "/libDeviceController.so failed."));
    COrqDiskHelper disks;
    DeviceRecord record{};
    EXPECT_EQ(disks.UnmountDisk(&record), 1);
    EXPECT_EQ(KillAdbProcess(), 1);
}

TEST(DeviceControllerBridge, MissingEntryPointsAreNamed) {
    ddtest::ModuleWithRunner module(false);
    // Any other library under the runner's name.
    std::string other = std::string(DD_TEST_MODULE_DIR) + "/libOutputLog.so";
    ASSERT_EQ(
        symlink(other.c_str(), (module.sandbox.moduleDir + "/libDeviceController.so").c_str()), 0);
    std::string output = "previous";
    EXPECT_EQ(RunAdbCmd("devices", output, kAdbTimeLimitMs), 1);
    EXPECT_EQ(output, "previous");
    EXPECT_TRUE(
        module.sandbox.logContains("unable find QX_RunAdbCmd interface in DeviceController.dll"));
    COrqDiskHelper disks;
    DeviceRecord record{};
    EXPECT_EQ(disks.UnmountDisk(&record), 1);
    EXPECT_TRUE(
        module.sandbox.logContains("unable find QX_UnmountDisk interface in DeviceController.dll"));
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
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < 5; ++n) {
                std::string output;
                if (RunAdbCmd("-s P" + std::to_string((t + n) % 4) + " shell getprop", output,
                              kAdbTimeLimitMs) == 0 &&
                    output.size() > 1000) {
                    ++good;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(good.load(), 40);
}

TEST_F(BridgeWithServer, KillAdbProcessAsksTheServerToExit) {
    EXPECT_EQ(KillAdbProcess(), 1);
    EXPECT_TRUE(env.server.waitStopped(std::chrono::seconds(10)));
    EXPECT_EQ(env.server.killCount(), 1);
    EXPECT_TRUE(module.sandbox.logContains("call KillAdbProcess"));
}

}  // namespace
