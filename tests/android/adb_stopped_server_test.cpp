// Commands that find no adb server start one, and the adb client then prints
// its own lines ("* daemon not running; starting now at tcp:P", "* daemon
// started successfully") before the command's output. Every reader of the
// module (forward replies, getprop, netstat) reads past them: each row here
// runs its step against a stopped server that the command starts.
#include <functional>

#include "adb_harness.h"
#include "android/boot_readiness.h"
#include "android/device_controller_bridge.h"
#include "android/port_forward.h"
#include "android/service_provisioning.h"
#include "loopback_server.h"

namespace {

// What "adb start-server" starts: an emulated server with phone SIM1 whose
// property list begins with the release (so a daemon line glued to it would
// spoil it), its 7890 listening.
std::string phoneOptions() {
    std::string options =
        "--phone SIM1 --only-props --prop ro.build.version.release=10 "
        "--prop ro.build.version.sdk=29 --prop ro.product.brand=Orq "
        "--prop ro.product.model=OrqX1 "
        "--prop zz.padding=" +
        std::string(1200, 'x') + " --service 7890=1";
    return options;
}

struct StoppedCase {
    const char* name;
    std::function<void(ddtest::ScriptedStep&)> check;
};

class StoppedServer : public ::testing::TestWithParam<StoppedCase> {
  protected:
    void SetUp() override {
        m_port = std::make_unique<ddtest::ScopedEnv>("ANDROID_ADB_SERVER_PORT",
                                                     std::to_string(ddtest::freePort()));
        env.writeAdbWrapper("exec '" + std::string(DD_TEST_BIN_DIR) +
                            "/phonesim' adb --port \"$2\" " + phoneOptions() + " --daemon");
    }
    void TearDown() override {
        std::string output;
        RunAdbCmd("kill-server", output, kAdbTimeLimitMs);
    }

    ddtest::ModuleWithRunner module;
    ddtest::AdbEnvironment env;
    ddtest::ScriptedStep step;

  private:
    std::unique_ptr<ddtest::ScopedEnv> m_port;
};

TEST_P(StoppedServer, TheStepReadsPastTheServerStartLines) {
    GetParam().check(step);
    EXPECT_TRUE(module.sandbox.logContains("* daemon started successfully"))
        << "the command started the server";
}

INSTANTIATE_TEST_SUITE_P(
    Readers, StoppedServer,
    ::testing::Values(
        StoppedCase{"ForwardReply",
                    [](ddtest::ScriptedStep&) {
                        uint16_t port = dd::android::forwardLocalPort("SIM1", 0, 8182);
                        EXPECT_NE(port, 0) << "the port line after the daemon lines";
                        std::string list;
                        RunAdbCmd("forward --list", list, kAdbTimeLimitMs);
                        EXPECT_TRUE(dd::android::forwardListHas(list, "SIM1", port, 8182)) << list;
                    }},
        StoppedCase{"Getprop",
                    [](ddtest::ScriptedStep& step) {
                        KernelInfo info;
                        int32_t booted = 0;
                        ASSERT_EQ(dd::android::checkKernelInfo(step, 0x18d1, 0x4ee7, "SIM1", info,
                                                               booted),
                                  1);
                        EXPECT_DOUBLE_EQ(info.androidVersion, 10.0);
                        EXPECT_EQ(info.sdk, 29);
                        EXPECT_EQ(info.model, "OrqX1");
                        EXPECT_EQ(booted, 1);
                    }},
        StoppedCase{
            "Netstat",
            [](ddtest::ScriptedStep&) { EXPECT_EQ(dd::android::Check7890Listening("SIM1"), 1); }}),
    [](const ::testing::TestParamInfo<StoppedCase>& info) { return info.param.name; });

}  // namespace
