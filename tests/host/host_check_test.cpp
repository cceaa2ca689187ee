// devicedetect-host --check against a machine made for the test: each piece
// that is there is reported ok, each one that is missing is named with what
// fixes it, and the exit code says whether anything is missing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <sstream>
#include <string>

#include "fake_usb_tree.h"
#include "host_run.h"
#include "test_env.h"
#include "wifi/wifi_harness.h"

namespace {

using ddtest::ProgramRun;

ProgramRun runCheck(const std::string& moduleDir, const std::string& more = "") {
    return ddtest::runProgram("devicedetect-host",
                              "--check --module-dir '" + moduleDir + "' " + more, true);
}

class HostCheck : public ::testing::Test {
  protected:
    ddtest::Sandbox sandbox;
    ddtest::TempDir rules{"ddrules"};
    ddtest::ScopedEnv rulesDirs{"DEVICEDETECT_UDEV_RULES_DIRS", rules.path()};
    ddtest::ScopedEnv adb{"DEVICEDETECT_ADB", "/nonexistent/adb"};
    ddtest::ScopedEnv wifiPort{"DEVICEDETECT_WIFI_PORT",
                               std::to_string(ddtest::freePort(SOCK_DGRAM))};
    uint16_t noServerPort = ddtest::freePort();  // no adb server answers there
    ddtest::TempDir bin{"ddadb"};
    phonesim::FakeUsbTree usb{sandbox.sysfsRoot, sandbox.devRoot};

    // An adb program that is the script; its path.
    std::string fakeAdb(const std::string& script) {
        ddtest::writeFile(bin / "adb", script);
        chmod((bin / "adb").c_str(), 0755);
        return bin / "adb";
    }
    void plugPhone(const std::string& port, const std::string& serial, bool node) {
        phonesim::FakeUsbDevice phone;
        phone.port = port;
        phone.serial = serial;
        phone.node = node;
        ASSERT_TRUE(usb.plug(phone));
    }
};

TEST_F(HostCheck, EveryMissingPieceIsNamedWithItsFix) {
    ddtest::ScopedEnv port{"ANDROID_ADB_SERVER_PORT", std::to_string(noServerPort)};
    plugPhone("1-2", "R58\x1b[2JCHECK", false);
    unlink((sandbox.moduleDir + "/libQXWIFIFinder.so").c_str());

    ProgramRun run = runCheck(sandbox.moduleDir);
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_TRUE(run.hasAll({
        "MISSING adb program: \"/nonexistent/adb\" (DEVICEDETECT_ADB) cannot be started (No "
        "such file or directory): point DEVICEDETECT_ADB at the adb program",
        "info    adb server on tcp:" + std::to_string(noServerPort) + ": none running",
        "MISSING udev rules 70-orq-sync.rules:",
        "PROBLEM phone 18d1:4ee7 R58?[2JCHECK on port 1-2: its device node",
        "MISSING companion package QXHttpd.apk in " + sandbox.moduleDir +
            ": phones without the companion service cannot be served; QXHttpd.apk comes with "
            "the Orq Sync suite, not with DeviceDetect: copy it from the suite into " +
            sandbox.moduleDir,
        "MISSING apkConfig.ini in " + sandbox.moduleDir +
            ": the companion service cannot be installed",
        "MISSING Wi-Fi finder " + sandbox.moduleDir + "/libQXWIFIFinder.so",
    }));
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "phone text reaches the terminal raw";
}

TEST_F(HostCheck, AMachineWithEverythingInPlaceIsAllOk) {
    ddtest::writeFile(rules / "70-orq-sync.rules", "# rules\n");
    ddtest::writeFile(sandbox.moduleDir + "/QXHttpd.apk", "apk");
    ddtest::writeFile(sandbox.moduleDir + "/QXHttpd16.apk", "apk");
    ddtest::writeFile(sandbox.moduleDir + "/apkConfig.ini", "[resources]\nsdk5=25\nsdk6=31\n");
    ddtest::ScopedEnv realAdb{"DEVICEDETECT_ADB",
                              fakeAdb("#!/bin/sh\necho 'Android Debug Bridge version 1.0.41'\n")};
    ddtest::ScopedEnv port{"ANDROID_ADB_SERVER_PORT", std::to_string(noServerPort)};
    plugPhone("1-3", "R58OKAY", true);
    // The Wi-Fi finder is the one piece a suite may leave out; anything else
    // missing would show here.
    ProgramRun run = runCheck(sandbox.moduleDir);
    EXPECT_TRUE(run.hasAll({
        "ok      adb program: \"" + (bin / "adb") + "\" (DEVICEDETECT_ADB) (adb version 1.0.41)",
        "ok      udev rules: " + (rules / "70-orq-sync.rules"),
        "ok      phone 18d1:4ee7 R58OKAY on port 1-3: ",
        "ok      companion package QXHttpd.apk",
        "ok      apkConfig.ini: companion versions sdk5=25 sdk6=31",
    }));
    EXPECT_EQ(run.out.find("PROBLEM"), std::string::npos) << run.out;
}

// The adb program the module would run is named as it is set, and a program
// that runs but fails is not taken for a missing adb.
TEST_F(HostCheck, TheAdbProgramIsNamedWithWhatWentWrong) {
    struct Case {
        const char* script;
        const char* says;
    };
    const Case cases[] = {
        {"#!/bin/sh\necho 'cannot connect to daemon' >&2\nexit 3\n",
         "\" failed (exit status 3: cannot connect to daemon)"},
        {"#!/bin/sh\necho 'Busybox v1.36'\n",
         "\" printed no adb version (Busybox v1.36): is it adb?"},
    };
    for (const Case& c : cases) {
        ddtest::ScopedEnv failing{"DEVICEDETECT_ADB", fakeAdb(c.script)};
        ProgramRun run = runCheck(sandbox.moduleDir);
        EXPECT_TRUE(run.has("PROBLEM adb program: \"" + (bin / "adb") +
                            "\" (DEVICEDETECT_ADB): \"" + (bin / "adb") + " version" + c.says))
            << run.out;
        EXPECT_FALSE(run.has("apt install adb")) << run.out;
        EXPECT_EQ(run.exitCode, 1);
    }
}

// A module folder whose libraries are there but do not load is as broken as
// one without them, and says why.
TEST_F(HostCheck, ALibraryThatDoesNotLoadIsNamedWithTheReason) {
    ddtest::writeFile(sandbox.moduleDir + "/libDeviceDetect.so", "");
    ddtest::writeFile(sandbox.moduleDir + "/libOutputLog.so",
                      "\x7f"
                      "ELF garbage");
    unlink((sandbox.moduleDir + "/libDeviceController.so").c_str());
    symlink((std::string(DD_TEST_MODULE_DIR) + "/libQXWIFIFinder.so").c_str(),
            (sandbox.moduleDir + "/libDeviceController.so").c_str());
    ProgramRun run = runCheck(sandbox.moduleDir);
    EXPECT_EQ(run.exitCode, 1);
    const std::string& dir = sandbox.moduleDir;
    EXPECT_TRUE(run.hasAll({
        "PROBLEM " + dir + "/libDeviceDetect.so does not load: " + dir +
            "/libDeviceDetect.so: file too short: reinstall the package",
        "PROBLEM " + dir + "/libOutputLog.so does not load: ",
        "PROBLEM " + dir + "/libDeviceController.so has no QX_RunAdbCmd",
    }));
}

// The Wi-Fi finder's UDP port held by another program keeps the finder from
// starting: that is a problem, not "ok".
TEST_F(HostCheck, AWifiPortHeldByAnotherProgramIsAProblem) {
    uint16_t held = 0;
    int holder = ddtest::bindLoopback(SOCK_DGRAM, held);
    std::string port = std::to_string(held);
    ASSERT_GE(holder, 0);
    {
        ddtest::ScopedEnv finderPort{"DEVICEDETECT_WIFI_PORT", port};
        ProgramRun run = runCheck(sandbox.moduleDir);
        EXPECT_TRUE(run.has("PROBLEM Wi-Fi finder port udp 127.0.0.1:" + port +
                            " is held by another program"))
            << run.out;
    }
    close(holder);
    ddtest::ScopedEnv finderPort{"DEVICEDETECT_WIFI_PORT", port};
    EXPECT_TRUE(runCheck(sandbox.moduleDir)
                    .has("ok      Wi-Fi finder port udp 127.0.0.1:" + port + " is free"));
    ddtest::ScopedEnv badAddress{"DEVICEDETECT_WIFI_ADDRESS", "localhost"};
    EXPECT_TRUE(runCheck(sandbox.moduleDir)
                    .has("PROBLEM Wi-Fi finder address DEVICEDETECT_WIFI_ADDRESS=localhost is "
                         "not an IPv4 address"));
}

// With --json every finding is one JSON object; nothing else is printed.
TEST_F(HostCheck, JsonGivesOneObjectPerFinding) {
    ddtest::removeTree(sandbox.sysfsRoot + "/bus");
    ProgramRun run = runCheck(sandbox.moduleDir, "--json");
    EXPECT_EQ(run.exitCode, 1);
    std::istringstream in(run.out);
    int findings = 0;
    bool sawUsb = false;
    for (std::string line; std::getline(in, line);) {
        nlohmann::json root = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(root.is_discarded()) << line;
        std::string check = root.value("check", "");
        EXPECT_TRUE(check == "ok" || check == "missing" || check == "problem" || check == "info")
            << line;
        sawUsb = sawUsb || (check == "problem" &&
                            root.value("message", "").rfind("no USB bus is visible: ", 0) == 0);
        ++findings;
    }
    EXPECT_GT(findings, 8);
    EXPECT_TRUE(sawUsb) << run.out;
}

// The running host says on its terminal what keeps phones from being found,
// where the log goes (with the user's own LogLevel), and that it stops.
TEST_F(HostCheck, TheRunningHostSaysWhatTheModuleWillMiss) {
    for (const char* library : {"libDeviceDetect.so", "libOutputLog.so"}) {
        symlink((std::string(DD_TEST_MODULE_DIR) + "/" + library).c_str(),
                (sandbox.moduleDir + "/" + library).c_str());
    }
    ddtest::removeTree(sandbox.sysfsRoot + "/bus");
    ddtest::makeDirs(sandbox.configHome + "/Orq Sync");
    ddtest::writeFile(sandbox.configHome + "/Orq Sync/orqBRAXLoader.ini",
                      "[Detect]\nLogLevel=Err\n");
    uint16_t held = 0;
    int holder = ddtest::bindLoopback(SOCK_DGRAM, held);
    std::string port = std::to_string(held);
    ASSERT_GE(holder, 0);
    ddtest::ScopedEnv finderPort{"DEVICEDETECT_WIFI_PORT", port};
    ProgramRun run = ddtest::runProgram(
        "devicedetect-host", "--duration 0.2 --module-dir '" + sandbox.moduleDir + "'", true);
    close(holder);
    const std::string& shown = run.out;
    EXPECT_EQ(run.exitCode, 0) << shown;
    EXPECT_TRUE(run.hasAll({
        "\nlog: " + sandbox.logFile + " (LogLevel Err from " + sandbox.configHome +
            "/Orq Sync/orqBRAXLoader.ini)\n",
        "\nno USB bus is visible: " + sandbox.sysfsRoot +
            "/bus/usb/devices cannot be read (No such file or directory)",
        "\nWi-Fi phones are off: Wi-Fi finder port udp 127.0.0.1:" + port +
            " is held by another program",
    }));
    EXPECT_GE(shown.size(), 10u);
    EXPECT_EQ(shown.substr(shown.size() - 10), "stopping.\n") << shown;
    EXPECT_FALSE(run.has("::")) << "an internal name on the terminal: " << shown;
}

}  // namespace
