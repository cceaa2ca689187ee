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

using ddtest::countOf;
using phonesim::FakeUsbDevice;
using phonesim::FakeUsbTree;

constexpr const char* kThreadEnd = "CUsbDeviceThread_Android::InitInstance() --";

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

// Booted, booting late, and below SDK 10 (never waited for): read, the
// boot waited for only when needed, and the thread goes on watching.
TEST_F(AndroidThreadReadiness, APhoneIsReadAndItsBootWaitedForWhenNeeded) {
    struct Case {
        const char* serial;
        int bootedAfter;
        const char* sdk;
        int getpropCalls;
    };
    const Case cases[] = {{"READY1", 0, "29", 1}, {"LATE1", 2, "29", 3}, {"OLD1", -1, "9", 1}};
    std::vector<std::shared_ptr<phonesim::AdbPhone>> phones;
    for (const Case& c : cases) {
        phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone(c.serial);
        config.properties["ro.build.version.sdk"] = c.sdk;
        config.bootCompleted = c.bootedAfter >= 0;
        config.bootCompletedAfterGetprops = std::max(c.bootedAfter, 0);
        phones.push_back(addPhone(config));
    }
    start();
    for (size_t i = 0; i < std::size(cases); ++i) {
        plug("1-" + std::to_string(i + 1), cases[i].serial);
        ASSERT_TRUE(waitLogged("[DETECT] device is boot completed.", i + 1)) << cases[i].serial;
        EXPECT_EQ(phones[i]->getpropCalls(), cases[i].getpropCalls) << cases[i].serial;
    }
    EXPECT_TRUE(sandbox.logContains("[sys.boot_completed]: [1]"));
    EXPECT_FALSE(sandbox.logContains("sys boot complete timeout"));
    EXPECT_EQ(logged(kThreadEnd), 0u) << "the threads go on watching their phones";
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

// The read's own rules are BootReadiness's; here the thread's count of
// phone threads decides: alone, a failing phone gets an adb restart and a
// second pass; beside it, another failing phone leaves adb alone.
TEST_F(AndroidThreadReadiness, OnlyTheOnlyPhoneThreadRestartsAdb) {
    phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone("FLAKY1");
    config.getpropFailures = 3;
    auto flaky = addPhone(config);
    config = phonesim::makeDefaultPhone("FAIL1");
    config.getpropFailures = 1000;
    auto failing = addPhone(config);
    start();
    plug("1-1", "FLAKY1");
    ASSERT_TRUE(waitLogged("[DETECT] device is boot completed."));  // its thread runs on
    EXPECT_EQ(adb.server.killCount(), 1);
    EXPECT_EQ(flaky->getpropCalls(), 4);
    plug("1-2", "FAIL1");
    ASSERT_TRUE(waitLogged(kThreadEnd));
    EXPECT_TRUE(sandbox.logContains("read android kernel failed,leave thread."));
    EXPECT_EQ(adb.server.killCount(), 1);
    EXPECT_EQ(failing->getpropCalls(), 3);
}

// An unplug ends the getprop retries and the boot wait; a stop ends the
// boot wait.
TEST_F(AndroidThreadReadiness, UnplugOrStopEndsEveryWait) {
    struct Case {
        const char* serial;
        int getpropFailures;
        bool stop;
    };
    int port = 0;
    for (const Case& c :
         {Case{"GONE1", 1000, false}, Case{"GONE2", 0, false}, Case{"STOP1", 0, true}}) {
        SCOPED_TRACE(c.serial);
        phonesim::AdbPhoneConfig config = phonesim::makeDefaultPhone(c.serial);
        config.getpropFailures = c.getpropFailures;
        config.bootCompleted = false;
        auto phone = addPhone(config);
        if (port == 0) {
            start();
        }
        std::string usbPort = "1-" + std::to_string(++port);
        size_t ended = logged(kThreadEnd);
        plug(usbPort, c.serial);
        // In the retries, or in the boot wait after one good read.
        ASSERT_TRUE(ddtest::waitUntil([&] { return phone->getpropCalls() >= 2; }));
        if (c.stop) {
            theApp.stopDetect();
            theApp.waitForDetectionEnd();
        } else {
            ASSERT_TRUE(tree.unplug(usbPort));
        }
        ASSERT_TRUE(waitLogged(kThreadEnd, ended + 1));
        EXPECT_LT(phone->getpropCalls(), 6);
    }
    EXPECT_GE(countOf(sandbox.log(), "device is unplug. ret"), 2u);
}

}  // namespace
