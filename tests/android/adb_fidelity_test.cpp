// The runner prints what the real adb client prints: both are run with the
// same command lines against the same emulated server and compared.
#include <sys/socket.h>

#include <algorithm>

#include "adb_harness.h"
#include "loopback_server.h"
#include "loopback_sockets.h"

namespace {

using ddtest::AdbEnvironment;
using ddtest::DeviceControllerLib;
using ddtest::words;

class AdbFidelity : public ::testing::Test {
  protected:
    void SetUp() override {
        env.server.addPhone(phonesim::makeDefaultPhone("R58M40ABCDE"));
        phonesim::AdbPhoneConfig second = phonesim::makeDefaultPhone("emulator-5554");
        second.properties["ro.product.model"] = "Orq X2 (lite)";
        env.server.addPhone(second);
    }

    // Runs one command line both ways and expects the same text.
    void expectSameOutput(const std::string& line) {
        ddtest::CommandResult real = env.realAdb(words(line));
        ddtest::CommandResult ours = lib.run(line);
        EXPECT_EQ(ours.code, ADBCMD_OK) << line;
        EXPECT_EQ(ours.text, real.text) << line;
    }

    AdbEnvironment env;
    DeviceControllerLib lib;
};

TEST_F(AdbFidelity, ListsPropertiesErrorsAndShellCommandsMatchTheClient) {
    for (const char* line : {
             "devices",
             "devices -l",
             "-s R58M40ABCDE shell getprop",
             "-s emulator-5554 shell getprop ro.product.model",
             "-s NOSUCHPHONE shell getprop",
             "shell getprop",  // two phones: "more than one device/emulator"
             "-s NOSUCHPHONE forward tcp:1 tcp:8182",
             "-s R58M40ABCDE forward --remove tcp:1",
             "-s R58M40ABCDE shell netstat -an",
             "-s R58M40ABCDE shell am broadcast -a com.orq.intent.action.START_SYNCTOOL",
             "-s R58M40ABCDE shell am startservice -n com.qx.httpd/.QXHttpdSvc",
         }) {
        expectSameOutput(line);
    }
    EXPECT_NE(lib.run("-s R58M40ABCDE shell getprop").text.find("[ro.product.model]: [Orq X1]\r\n"),
              std::string::npos);
    EXPECT_EQ(lib.run("-s NOSUCHPHONE shell getprop").text,
              "error: device 'NOSUCHPHONE' not found\n");
}

std::string readGreeting(uint16_t port) {
    dd::platform::UniqueFd fd = ddtest::connectLoopback(port);
    char buffer[64];
    ssize_t n = fd.valid() ? recv(fd.get(), buffer, sizeof(buffer), 0) : -1;
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

TEST_F(AdbFidelity, ForwardsMatchTheClientAndCarryTraffic) {
    phonesim::LoopbackServer service;  // plays the companion service on phone port 8182
    ASSERT_TRUE(
        service.start(0, [](int fd) { phonesim::sendAll(fd, std::string("hello from 8182")); }));
    phonesim::AdbPhoneConfig phone = phonesim::makeDefaultPhone("FWD1");
    phone.servicePorts[8182] = service.port();
    env.server.addPhone(phone);

    uint16_t ours = ddtest::freePort();
    uint16_t theirs = ddtest::freePort();
    ASSERT_NE(ours, theirs);
    ddtest::CommandResult real =
        env.realAdb(words("-s FWD1 forward tcp:" + std::to_string(theirs) + " tcp:8182"));
    ddtest::CommandResult mine =
        lib.run("-s FWD1 forward tcp:" + std::to_string(ours) + " tcp:8182");
    EXPECT_EQ(mine.code, ADBCMD_OK);
    // Both print the port the server bound, an explicit one too.
    EXPECT_EQ(mine.text, std::to_string(ours) + "\n");
    EXPECT_EQ(real.text, std::to_string(theirs) + "\n");
    EXPECT_EQ(readGreeting(ours), "hello from 8182");
    EXPECT_EQ(readGreeting(theirs), "hello from 8182");

    expectSameOutput("forward --list");
    expectSameOutput("-s FWD1 forward --no-rebind tcp:" + std::to_string(ours) + " tcp:8182");

    // tcp:0: the server picks the port and both print it.
    ddtest::CommandResult picked = lib.run("-s FWD1 forward tcp:0 tcp:8182");
    const std::string& port = picked.text;
    ASSERT_TRUE(
        port.size() >= 2 && port.size() <= 6 && port.back() == '\n' &&
        std::all_of(port.begin(), port.end() - 1, [](char c) { return c >= '0' && c <= '9'; }))
        << port;
    EXPECT_EQ(readGreeting(static_cast<uint16_t>(std::stoi(picked.text))), "hello from 8182");

    EXPECT_EQ(lib.run("-s FWD1 forward --remove tcp:" + std::to_string(ours)).text, "");
    expectSameOutput("-s FWD1 forward --remove tcp:" + std::to_string(ours));
}

// "x.apk: 1 file pushed, 0 skipped. 0.1 MB/s (4 bytes in 0.000s)": the rate
// and the time vary from run to run.
std::string withoutRate(std::string text) {
    size_t unit = text.find(" MB/s (");
    if (unit == std::string::npos) {
        return text;
    }
    size_t begin = unit;
    while (begin > 0 &&
           ((text[begin - 1] >= '0' && text[begin - 1] <= '9') || text[begin - 1] == '.')) {
        --begin;
    }
    size_t end = text.find(')', unit);
    return end == std::string::npos ? text : text.replace(begin, end + 1 - begin, "RATE");
}

TEST_F(AdbFidelity, InstallAndUninstallMatchTheClient) {
    std::string apk = env.home() + "/QXHttpd.apk";
    ddtest::writeFile(apk, "package:com.qx.httpd\n" + std::string(100000, 'x'));
    ddtest::CommandResult real = env.realAdb({"-s", "R58M40ABCDE", "install", "-r", apk});
    ddtest::CommandResult ours = lib.run("-s emulator-5554 install -r \"" + apk + "\"");
    EXPECT_EQ(ours.code, ADBCMD_OK);
    EXPECT_NE(ours.text.find("Success"), std::string::npos) << ours.text;
    EXPECT_EQ(withoutRate(ours.text), withoutRate(real.text));
    EXPECT_EQ(env.server.phone("emulator-5554")->packages().count("com.qx.httpd"), 1u);

    ddtest::CommandResult removed = lib.run("-s emulator-5554 uninstall com.qx.httpd");
    EXPECT_EQ(removed.text, "Success\r\n");  // pm over the raw shell ends lines with CRLF
    EXPECT_EQ(env.server.phone("emulator-5554")->packages().count("com.qx.httpd"), 0u);
}

TEST_F(AdbFidelity, KillServerStopsTheServerAndItComesBack) {
    ddtest::CommandResult killed = lib.run("kill-server");
    EXPECT_EQ(killed.code, ADBCMD_OK);
    EXPECT_EQ(killed.text, "");
    EXPECT_TRUE(env.server.waitStopped(std::chrono::seconds(10)));
    EXPECT_EQ(env.server.killCount(), 1);

    // No server now: what the client prints, and no server started by us.
    ddtest::CommandResult again = lib.run("kill-server");
    EXPECT_EQ(again.text, "cannot connect to daemon at tcp:" + std::to_string(env.server.port()) +
                              ": Connection refused\n");

    ASSERT_TRUE(env.server.start());
    expectSameOutput("devices");
}

}  // namespace
