// devicedetect-host --check against a machine made for the test: each piece
// that is there is reported ok, each one that is missing is named with what
// fixes it, and the exit code says whether anything is missing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fake_usb_tree.h"
#include "loopback_server.h"
#include "test_env.h"

namespace {

struct CheckRun {
    int exitCode = -1;
    std::string out;
    bool has(const std::string& line) const { return out.find(line) != std::string::npos; }
};

CheckRun runCheck(const std::string& moduleDir) {
    CheckRun run;
    std::string command = std::string(DD_TEST_BIN_DIR) +
                          "/devicedetect-host --check --module-dir '" + moduleDir + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[1024];
    while (pipe != nullptr && fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        run.out += buffer;
    }
    int status = pipe != nullptr ? pclose(pipe) : -1;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class HostCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        phonesim::LoopbackServer probe;  // a port where no adb server answers
        probe.start(0, [](int) {});
        noServerPort = probe.port();
        probe.stop();
    }
    ddtest::Sandbox sandbox;
    ddtest::TempDir rules{"ddrules"};
    ddtest::ScopedEnv rulesDirs{"DEVICEDETECT_UDEV_RULES_DIRS", rules.path()};
    ddtest::ScopedEnv adb{"DEVICEDETECT_ADB", "/nonexistent/adb"};
    uint16_t noServerPort = 0;
};

TEST_F(HostCheck, EveryMissingPieceIsNamedWithItsFix) {
    ddtest::ScopedEnv port{"ANDROID_ADB_SERVER_PORT", std::to_string(noServerPort)};
    phonesim::FakeUsbTree usb(sandbox.sysfsRoot, sandbox.devRoot);
    phonesim::FakeUsbDevice phone;
    phone.port = "1-2";
    phone.serial = "R58\x1b[2JCHECK";
    phone.node = false;
    ASSERT_TRUE(usb.plug(phone));
    unlink((sandbox.moduleDir + "/libQXWIFIFinder.so").c_str());

    CheckRun run = runCheck(sandbox.moduleDir);
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_TRUE(run.has("MISSING adb program: \"/nonexistent/adb\" cannot be run; install it"))
        << run.out;
    EXPECT_TRUE(
        run.has("info    adb server on tcp:" + std::to_string(noServerPort) + ": none running"));
    EXPECT_TRUE(run.has("MISSING udev rules 70-orq-sync.rules:"));
    EXPECT_TRUE(run.has("PROBLEM phone 18d1:4ee7 R58?[2JCHECK on port 1-2: its device node"))
        << run.out;
    EXPECT_TRUE(run.has("MISSING companion package QXHttpd.apk in " + sandbox.moduleDir));
    EXPECT_TRUE(run.has("MISSING apkConfig.ini in " + sandbox.moduleDir +
                        ": the companion service cannot be installed"));
    EXPECT_TRUE(run.has("MISSING Wi-Fi finder " + sandbox.moduleDir + "/libQXWIFIFinder.so"));
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "phone text reaches the terminal raw";
}

TEST_F(HostCheck, AMachineWithEverythingInPlaceIsAllOk) {
    ddtest::writeFile(rules / "70-orq-sync.rules", "# rules\n");
    ddtest::writeFile(sandbox.moduleDir + "/QXHttpd.apk", "apk");
    ddtest::writeFile(sandbox.moduleDir + "/QXHttpd16.apk", "apk");
    ddtest::writeFile(sandbox.moduleDir + "/apkConfig.ini", "[resources]\nsdk5=25\nsdk6=31\n");
    ddtest::TempDir bin{"ddadb"};
    ddtest::writeFile(bin / "adb", "#!/bin/sh\necho 'Android Debug Bridge version 1.0.41'\n");
    chmod((bin / "adb").c_str(), 0755);
    ddtest::ScopedEnv realAdb{"DEVICEDETECT_ADB", bin / "adb"};
    ddtest::ScopedEnv port{"ANDROID_ADB_SERVER_PORT", std::to_string(noServerPort)};
    phonesim::FakeUsbTree usb(sandbox.sysfsRoot, sandbox.devRoot);
    phonesim::FakeUsbDevice phone;
    phone.port = "1-3";
    phone.serial = "R58OKAY";
    ASSERT_TRUE(usb.plug(phone));
    // The Wi-Fi finder is the one piece a suite may leave out; anything else
    // missing would show here.
    CheckRun run = runCheck(sandbox.moduleDir);
    EXPECT_TRUE(run.has("ok      adb program: " + (bin / "adb") + " (adb version 1.0.41)"))
        << run.out;
    EXPECT_TRUE(run.has("ok      udev rules: " + (rules / "70-orq-sync.rules")));
    EXPECT_TRUE(run.has("ok      phone 18d1:4ee7 R58OKAY on port 1-3: "));
    EXPECT_TRUE(run.has("ok      companion package QXHttpd.apk"));
    EXPECT_TRUE(run.has("ok      apkConfig.ini: companion versions sdk5=25 sdk6=31"));
    EXPECT_EQ(run.out.find("PROBLEM"), std::string::npos) << run.out;
}

}  // namespace
