// What the runner does with processes: the adb binary for install under the
// time limit, arguments passed as words (nothing interpreted), the one
// "adb start-server" when no server answers (and every reader of the module
// reading past the lines the client prints then), and servers of another adb
// version left alone.
#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

#include "adb_harness.h"
#include "android/boot_readiness.h"
#include "android/device_controller_bridge.h"
#include "android/port_forward.h"
#include "android/service_provisioning.h"
#include "loopback_server.h"

namespace {

using ddtest::AdbEnvironment;
using ddtest::DeviceControllerLib;

// Writes an executable script and points DEVICEDETECT_ADB at it.
class FakeAdb {
  public:
    FakeAdb(const ddtest::TempDir& dir, const std::string& body)
        : m_path(dir / "fake-adb"), m_env(("DEVICEDETECT_ADB"), (dir / "fake-adb")) {
        ddtest::writeFile(m_path,
                          "#!/bin/sh\n"
                          "if [ \"$1\" = version ]; then echo 'Android Debug Bridge version "
                          "1.0.41'; exit 0; fi\n" +
                              body + "\n");
        chmod(m_path.c_str(), 0755);
    }

  private:
    std::string m_path;
    ddtest::ScopedEnv m_env;
};

class AdbProcesses : public ::testing::Test {
  protected:
    void SetUp() override { env.server.addPhone(phonesim::makeDefaultPhone("R58M40ABCDE")); }
    AdbEnvironment env{phonesim::kDefaultAdbServerVersion, "1500"};
    DeviceControllerLib lib;
    ddtest::TempDir scratch{"adbproc"};
};

TEST_F(AdbProcesses, AHangingInstallIsKilledAtTheTimeLimit) {
    std::string pidFile = scratch / "pid";
    FakeAdb adb(scratch,
                "echo $$ > '" + pidFile + "'; echo 'Performing Push Install'; exec sleep 600");
    ddtest::CommandResult result = lib.run("-s R58M40ABCDE install -r \"/tmp/x.apk\"");
    EXPECT_EQ(result.code, ADBCMD_TIMED_OUT);
    EXPECT_NE(result.text.find("Performing Push Install"), std::string::npos) << result.text;
    EXPECT_NE(result.text.find("did not finish in time"), std::string::npos) << result.text;
    pid_t pid = static_cast<pid_t>(std::stol(ddtest::readFile(pidFile)));
    EXPECT_EQ(kill(pid, 0), -1) << "the child adb still runs";
}

TEST_F(AdbProcesses, ArgumentsReachAdbAsWordsNeverThroughAShell) {
    std::string argsFile = scratch / "args";
    std::string marker = scratch / "injected";
    FakeAdb adb(scratch, "for a in \"$@\"; do echo \"$a\" >> '" + argsFile + "'; done");
    std::string serial = "S;touch " + marker + ";$(touch " + marker + ")";
    ddtest::CommandResult result = lib.run("-s \"" + serial + "\" uninstall com.qx.httpd");
    EXPECT_EQ(result.code, ADBCMD_OK);
    EXPECT_EQ(ddtest::readFile(argsFile), "-s\n" + serial + "\nuninstall\ncom.qx.httpd\n");
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a shell interpreted the serial";
}

TEST_F(AdbProcesses, AMissingAdbBinaryIsReported) {
    ddtest::ScopedEnv missing("DEVICEDETECT_ADB", scratch / "no-such-adb");
    ddtest::CommandResult result = lib.run("-s R58M40ABCDE uninstall com.qx.httpd");
    EXPECT_EQ(result.code, ADBCMD_SPAWN_FAILED);
}

TEST_F(AdbProcesses, NoServerStartsOneOnceForManyCallers) {
    uint16_t port = ddtest::freePort();
    ddtest::AdbServerPort portEnv(port);
    std::string countFile = scratch / "starts";
    env.writeAdbWrapper("echo started >> '" + countFile + "'; " +
                        ddtest::phonesimDaemon("--phone SIM1"));
    std::atomic<int> good{0};
    std::atomic<int> starter{0};
    const std::string started =
        "* daemon not running; starting now at tcp:" + std::to_string(port) +
        "\n* daemon started successfully\n";
    ddtest::onThreads(6, [&](int) {
        ddtest::CommandResult r = lib.run("-s SIM1 shell getprop ro.product.model", 256);
        good += r.code == ADBCMD_OK && r.text == "Orq X1\r\n";
        // The caller that started the server prints adb's lines first, as
        // the client does.
        starter += r.code == ADBCMD_OK && r.text == started + "Orq X1\r\n";
    });
    EXPECT_EQ(good.load(), 5);
    EXPECT_EQ(starter.load(), 1);
    EXPECT_EQ(ddtest::readFile(countFile), "started\n");
    // The daemon ends with the server.
    EXPECT_EQ(lib.run("kill-server").code, ADBCMD_OK);
    EXPECT_TRUE(ddtest::waitUntil([&] {
        return lib.run("kill-server").text.find("cannot connect to daemon") != std::string::npos;
    }));
}

TEST_F(AdbProcesses, NoServerAndNoWayToStartOneIsReported) {
    ddtest::AdbServerPort noServer;
    ddtest::CommandResult result = lib.run("-s R58M40ABCDE shell getprop");
    EXPECT_EQ(result.code, ADBCMD_NO_SERVER);
    EXPECT_NE(result.text.find("cannot connect to daemon at tcp:"), std::string::npos)
        << result.text;
}

TEST_F(AdbProcesses, ACommandWaitingBehindAnotherServerStartEndsAtItsOwnDeadline) {
    ddtest::AdbServerPort noServer;
    std::string marker = scratch / "starting";
    FakeAdb adb(scratch,
                "if [ \"$3\" = start-server ]; then touch '" + marker + "'; exec sleep 600; fi");
    std::thread first;
    {
        ddtest::ScopedEnv longLimit("DEVICEDETECT_ADB_TIMEOUT_MS", "3000");
        first = std::thread([&] { lib.run("-s R58M40ABCDE shell getprop"); });
        ASSERT_TRUE(ddtest::waitUntil([&] { return ddtest::fileExists(marker); }));
    }
    ddtest::ScopedEnv shortLimit("DEVICEDETECT_ADB_TIMEOUT_MS", "300");
    ddtest::CommandResult second = lib.run("-s R58M40ABCDE shell getprop");
    EXPECT_EQ(second.code, ADBCMD_TIMED_OUT);
    EXPECT_NE(second.text.find("waiting for another adb start-server"), std::string::npos)
        << second.text;
    first.join();
}

// Commands that find no adb server start one, and the adb client then prints
// its own lines ("* daemon not running; starting now at tcp:P", "* daemon
// started successfully") before the command's output: each row runs a
// reader of the module (forward replies, getprop, netstat) against a stopped
// server that its command starts.
// What "adb start-server" starts: an emulated server with phone SIM1 whose
// property list begins with the release (so a daemon line glued to it would
// spoil it), its 7890 listening.
std::string phoneOptions() {
    return "--phone SIM1 --only-props --prop ro.build.version.release=10 "
           "--prop ro.build.version.sdk=29 --prop ro.product.brand=Orq "
           "--prop ro.product.model=OrqX1 --prop zz.padding=" +
           std::string(1200, 'x') + " --service 7890=1";
}

struct StoppedCase {
    const char* name;
    std::function<void(ddtest::ScriptedStep&)> check;
};

class StoppedServer : public ::testing::TestWithParam<StoppedCase> {
  protected:
    void SetUp() override { env.writeAdbWrapper(ddtest::phonesimDaemon(phoneOptions())); }
    void TearDown() override {
        std::string output;
        RunAdbCmd("kill-server", output, kAdbTimeLimitMs);
    }

    ddtest::ModuleWithRunner module;
    ddtest::AdbEnvironment env;
    ddtest::AdbServerPort noServer;
    ddtest::ScriptedStep step;
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

TEST(AdbVersionClash, AServerOfAnotherVersionIsUsedButNeverKilledOrReplaced) {
    AdbEnvironment env(40);
    env.server.addPhone(phonesim::makeDefaultPhone("R58M40ABCDE"));
    DeviceControllerLib lib;

    ddtest::CommandResult install = lib.run("-s R58M40ABCDE install -r \"/tmp/x.apk\"");
    EXPECT_EQ(install.code, ADBCMD_VERSION_CLASH);
    EXPECT_NE(install.text.find("adb server version (40) doesn't match this client (41)"),
              std::string::npos)
        << install.text;
    EXPECT_EQ(lib.run("kill-server").code, ADBCMD_VERSION_CLASH);
    EXPECT_TRUE(env.server.running());
    EXPECT_EQ(env.server.killCount(), 0);

    ddtest::CommandResult shell = lib.run("-s R58M40ABCDE shell getprop ro.product.model");
    EXPECT_EQ(shell.code, ADBCMD_OK);
    EXPECT_EQ(shell.text, "Orq X1\r\n");
}

}  // namespace
