// A plugged Android phone's thread on the fake USB tree, with the emulated
// adb server behind the runner: it reads the phone's properties, refuses the
// phones it must refuse, waits for the boot, restarts adb only when it is the
// only phone thread, and an unplug ends each of its waits.
#include "adb_environment.h"
#include "android/usb_device_thread_android.h"
#include "core/device_detect_app.h"
#include "fake_usb_tree.h"
#include "log/log_stream.h"
#include "test_env.h"

namespace {

using phonesim::FakeUsbDevice;
using phonesim::FakeUsbTree;

constexpr const char* kThreadEnd = "CUsbDeviceThread_Android::InitInstance() --";

size_t countOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

class AndroidThreadReadiness : public ::testing::Test {
  protected:
    void SetUp() override {
        ddtest::linkAdbRunner(sandbox.moduleDir);
        adb.server.setRestartAfterKill(true);
        theApp.readLoaderConfig();
        ASSERT_EQ(theApp.prepareDetect(), 0);
    }
    void TearDown() override {
        theApp.stopDetect();
        theApp.waitForDetectionEnd();
        LogInit(LOG_OPT_HEADER, 0, "DeviceDetect");  // nothing may log outside the sandbox
    }

    void start() { theApp.startDetect(); }
    std::shared_ptr<phonesim::AdbPhone> addPhone(phonesim::AdbPhoneConfig config) {
        std::string serial = config.serial;
        adb.server.addPhone(std::move(config));
        return adb.server.phone(serial);
    }
    void plug(const std::string& port, const std::string& serial, uint16_t vid = 0x18d1,
              uint16_t pid = 0x4ee7) {
        FakeUsbDevice device;
        device.port = port;
        device.serial = serial;
        device.vid = vid;
        device.pid = pid;
        ASSERT_TRUE(tree.plug(device));
    }
    bool waitLogged(const std::string& what, size_t times = 1) const {
        return ddtest::waitUntil([&] { return countOf(sandbox.log(), what) >= times; },
                                 std::chrono::seconds(20));
    }
    size_t logged(const std::string& what) const { return countOf(sandbox.log(), what); }

    ddtest::Sandbox sandbox;
    ddtest::AdbEnvironment adb;
    FakeUsbTree tree{sandbox.sysfsRoot, sandbox.devRoot};
};

TEST_F(AndroidThreadReadiness, ABootedPhoneIsReadAndWatched) {
    auto phone = addPhone(phonesim::makeDefaultPhone("READY1"));
    start();
    plug("1-1", "READY1");
    ASSERT_TRUE(waitLogged("[DETECT] device is boot completed."));
    EXPECT_TRUE(sandbox.logContains("[DETECT] getprop done."));
    EXPECT_EQ(phone->getpropCalls(), 1) << "booted: no boot wait";
    EXPECT_FALSE(sandbox.logContains("sys boot complete timeout"));
    EXPECT_EQ(logged(kThreadEnd), 0u) << "the thread goes on watching its phone";
}

TEST_F(AndroidThreadReadiness, ALateBootIsWaitedFor) {
    phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone("LATE1");
    config.bootCompletedAfterGetprops = 2;
    auto phone = addPhone(config);
    start();
    plug("1-1", "LATE1");
    ASSERT_TRUE(waitLogged("[DETECT] device is boot completed."));
    EXPECT_EQ(phone->getpropCalls(), 3);
    EXPECT_TRUE(sandbox.logContains("[sys.boot_completed]: [1]"));
    EXPECT_FALSE(sandbox.logContains("sys boot complete timeout"));
}

TEST_F(AndroidThreadReadiness, OldPhonesBelowSdk10AreNotWaitedFor) {
    phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone("OLD1");
    config.properties["ro.build.version.sdk"] = "9";
    config.bootCompleted = false;
    auto phone = addPhone(config);
    start();
    plug("1-1", "OLD1");
    ASSERT_TRUE(waitLogged("[DETECT] device is boot completed."));
    EXPECT_EQ(phone->getpropCalls(), 1);
}

TEST_F(AndroidThreadReadiness, Android15IsRefusedWithoutAdb) {
    auto phone = addPhone(phonesim::makeDefaultPhone("CUPCAKE"));
    start();
    plug("1-1", "CUPCAKE", 0x1d45, 0x0c01);
    ASSERT_TRUE(waitLogged(kThreadEnd));
    EXPECT_TRUE(sandbox.logContains("find 1.5 android"));
    EXPECT_TRUE(sandbox.logContains("read android kernel failed,leave thread."));
    EXPECT_EQ(phone->getpropCalls(), 0);
}

TEST_F(AndroidThreadReadiness, TheModelGateRefusesOnlyTheTdBuild) {
    phonesim::AdbPhoneConfig td = phonesim::makeDefaultPhone("TD1");
    td.properties["ro.product.version"] = "BRISEL_TD_1403_JB";
    addPhone(td);
    phonesim::AdbPhoneConfig other = phonesim::makeDefaultPhone("TD2");
    other.properties["ro.product.version"] = "BRISEL_TD_1502_JB";
    addPhone(other);
    start();
    plug("1-1", "TD1", 0x1d45, 0x0fb4);
    ASSERT_TRUE(waitLogged(kThreadEnd));
    EXPECT_TRUE(sandbox.logContains("Brisel_TD_JB is only supported by Orq Sync."));
    ASSERT_TRUE(tree.unplug("1-1"));  // else the next scan gives it another thread
    size_t refusals = logged("Brisel_TD_JB is only supported by Orq Sync.");
    plug("1-2", "TD2", 0x1d45, 0x0fb4);
    ASSERT_TRUE(waitLogged("[DETECT] device is boot completed."));
    EXPECT_EQ(logged("Brisel_TD_JB is only supported by Orq Sync."), refusals);
}

TEST_F(AndroidThreadReadiness, TheOnlyPhoneGetsASecondPassAfterAnAdbRestart) {
    phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone("FLAKY1");
    config.getpropFailures = 3;
    auto phone = addPhone(config);
    start();
    plug("1-1", "FLAKY1");
    ASSERT_TRUE(waitLogged("[DETECT] device is boot completed."));
    EXPECT_EQ(adb.server.killCount(), 1);
    EXPECT_EQ(phone->getpropCalls(), 4);
    EXPECT_TRUE(sandbox.logContains("get prop fail count 3 "));
}

TEST_F(AndroidThreadReadiness, WithAnotherPhoneRunningAdbIsLeftAlone) {
    addPhone(phonesim::makeDefaultPhone("GOOD1"));
    phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone("FAIL1");
    config.getpropFailures = 1000;
    auto failing = addPhone(config);
    start();
    plug("1-1", "GOOD1");
    ASSERT_TRUE(waitLogged("[DETECT] device is boot completed."));  // its thread runs on
    plug("1-2", "FAIL1");
    ASSERT_TRUE(waitLogged(kThreadEnd));
    EXPECT_TRUE(sandbox.logContains("get prop fail count 3 "));
    EXPECT_TRUE(sandbox.logContains("read android kernel failed,leave thread."));
    EXPECT_EQ(adb.server.killCount(), 0);
    EXPECT_EQ(failing->getpropCalls(), 3);
}

TEST_F(AndroidThreadReadiness, UnplugEndsTheGetpropRetries) {
    phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone("GONE1");
    config.getpropFailures = 1000;
    auto phone = addPhone(config);
    start();
    plug("1-1", "GONE1");
    ASSERT_TRUE(ddtest::waitUntil([&] { return phone->getpropCalls() >= 1; }));
    ASSERT_TRUE(tree.unplug("1-1"));
    ASSERT_TRUE(waitLogged(kThreadEnd));
    EXPECT_TRUE(sandbox.logContains("device is unplug. ret"));
    EXPECT_LT(phone->getpropCalls(), 6);
}

TEST_F(AndroidThreadReadiness, UnplugEndsTheBootWait) {
    phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone("GONE2");
    config.bootCompleted = false;
    auto phone = addPhone(config);
    start();
    plug("1-1", "GONE2");
    ASSERT_TRUE(ddtest::waitUntil([&] { return phone->getpropCalls() >= 2; }));  // in the boot wait
    ASSERT_TRUE(tree.unplug("1-1"));
    ASSERT_TRUE(waitLogged(kThreadEnd));
    EXPECT_TRUE(sandbox.logContains("device is unplug. ret"));
    EXPECT_LT(phone->getpropCalls(), 61);
}

TEST_F(AndroidThreadReadiness, StopEndsTheBootWait) {
    phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone("STOP1");
    config.bootCompleted = false;
    auto phone = addPhone(config);
    start();
    plug("1-1", "STOP1");
    ASSERT_TRUE(ddtest::waitUntil([&] { return phone->getpropCalls() >= 2; }));
    theApp.stopDetect();
    theApp.waitForDetectionEnd();
    EXPECT_TRUE(sandbox.logContains(kThreadEnd));
}

}  // namespace
