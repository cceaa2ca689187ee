// What the runner does with processes: the adb binary for install under the
// time limit, arguments passed as words (nothing interpreted), the one
// "adb start-server" when no server answers, and servers of another adb
// version left alone.
#include <signal.h>

#include <atomic>
#include <thread>

#include "adb_harness.h"
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
    ddtest::ScopedEnv portEnv("ANDROID_ADB_SERVER_PORT", std::to_string(port));
    std::string countFile = scratch / "starts";
    std::string phonesim = std::string(DD_TEST_BIN_DIR) + "/phonesim";
    env.writeAdbWrapper("echo started >> '" + countFile + "'; exec '" + phonesim +
                        "' adb --port \"$2\" --phone SIM1 --daemon");
    std::atomic<int> good{0};
    std::atomic<int> starter{0};
    const std::string started =
        "* daemon not running; starting now at tcp:" + std::to_string(port) +
        "\n* daemon started successfully\n";
    std::vector<std::thread> callers;
    for (int i = 0; i < 6; ++i) {
        callers.emplace_back([&] {
            ddtest::CommandResult r = lib.run("-s SIM1 shell getprop ro.product.model", 256);
            if (r.code == ADBCMD_OK && r.text == "Orq X1\r\n") {
                ++good;
            }
            // The caller that started the server prints adb's lines first,
            // as the client does.
            if (r.code == ADBCMD_OK && r.text == started + "Orq X1\r\n") {
                ++starter;
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
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
    ddtest::ScopedEnv portEnv("ANDROID_ADB_SERVER_PORT", std::to_string(ddtest::freePort()));
    ddtest::CommandResult result = lib.run("-s R58M40ABCDE shell getprop");
    EXPECT_EQ(result.code, ADBCMD_NO_SERVER);
    EXPECT_NE(result.text.find("cannot connect to daemon at tcp:"), std::string::npos)
        << result.text;
}

TEST_F(AdbProcesses, ACommandWaitingBehindAnotherServerStartEndsAtItsOwnDeadline) {
    ddtest::ScopedEnv portEnv("ANDROID_ADB_SERVER_PORT", std::to_string(ddtest::freePort()));
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
