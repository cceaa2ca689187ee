// Hot-plug through the C interface: a freshly loaded module per test, a fake
// USB tree that phones are plugged into and pulled out of, and the log and
// the per-device exports to see which device threads exist.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "base/text_codec.h"
#include "devicedetect/DeviceDetect.h"
#include "fake_usb_tree.h"
#include "module_loader.h"
#include "test_env.h"

namespace {

using phonesim::FakeUsbDevice;
using phonesim::FakeUsbTree;

// A phone whose driver is still being installed (no device node yet): its
// thread identifies it and then waits in the driver stage, so the thread
// stays alive, without any adb, for as long as a test looks at it.
FakeUsbDevice phone(const std::string& port, const std::string& serial) {
    FakeUsbDevice device;
    device.port = port;
    device.serial = serial;
    device.node = false;
    return device;
}

// A host with the module loaded against a sandbox and a fake USB tree.
class Detection : public ::testing::Test {
  protected:
    explicit Detection(const std::string& logLevel = "Debug") : sandbox(logLevel) {}

    ddtest::Sandbox sandbox;
    FakeUsbTree tree{sandbox.sysfsRoot, sandbox.devRoot};
    ddtest::LoadedModule module;

    void start() {
        ASSERT_TRUE(module.ok());
        ASSERT_EQ(module.InitDetect(), 0);
        ASSERT_EQ(module.startDetect(), 0);
    }
    size_t logged(const std::string& what) const { return ddtest::countOf(sandbox.log(), what); }
    // Waits until the log holds `what` at least `times` times.
    bool waitLogged(const std::string& what, size_t times = 1,
                    std::chrono::milliseconds deadline = std::chrono::seconds(20)) const {
        return ddtest::waitUntil([&] { return logged(what) >= times; }, deadline);
    }
    // Waits for one more complete scan than has been logged so far, which
    // something (a plug, an unplug) must have triggered.
    bool waitForNextScan(size_t scansBefore) const {
        return waitLogged("--CUsbDetect::usbDetect", scansBefore + 1);
    }
    static DeviceRecord recordFor(const std::string& serial) {
        DeviceRecord record{};
        dd::copyToField(record.serialno, serial);
        return record;
    }
    int readyToSync(const std::string& serial) {
        DeviceRecord record = recordFor(serial);
        return module.DeviceReadyToSync(&record);
    }
    static std::string identified(const std::string& serial) {
        return "[DETECT] serial " + serial + " on ";
    }
};

TEST_F(Detection, PhonePluggedBeforeStartGetsExactlyOneThread) {
    ASSERT_TRUE(tree.plug(phone("1-2", "ABC123")));
    start();
    ASSERT_TRUE(waitLogged(identified("ABC123") + "usb1 port 2"));
    EXPECT_EQ(readyToSync("ABC123"), 0);

    // A second start scans every port again: the phone's port is seen
    // again and gets no second thread.
    size_t scans = logged("--CUsbDetect::usbDetect");
    ASSERT_EQ(module.startDetect(), 0);
    ASSERT_TRUE(waitForNextScan(scans));
    EXPECT_TRUE(sandbox.logContains("detect thread is runing.."));
    EXPECT_EQ(logged(identified("ABC123")), 1u);
    EXPECT_EQ(logged("CUsbDeviceThread_Android::InitInstance() ++"), 1u);
}

TEST_F(Detection, PlugAfterStartAndUnplugReapTheThread) {
    start();
    ASSERT_TRUE(waitLogged("--CUsbDetect::usbDetect"));
    EXPECT_EQ(readyToSync("LIVE1"), 1);
    ASSERT_TRUE(tree.addHub("2-1", 4));
    ASSERT_TRUE(tree.plug(phone("2-1.3", "LIVE1")));
    ASSERT_TRUE(waitLogged(identified("LIVE1") + "2-1 port 3"));
    EXPECT_EQ(readyToSync("LIVE1"), 0);

    ASSERT_TRUE(tree.unplug("2-1.3"));
    ASSERT_TRUE(ddtest::waitUntil([&] { return readyToSync("LIVE1") == 1; }));
    ASSERT_TRUE(waitLogged("remove device by detect array."));
    EXPECT_TRUE(sandbox.logContains("connect count --"));
    EXPECT_TRUE(sandbox.logContains("CUsbDeviceThread_Android::InitInstance() --"));
}

TEST_F(Detection, PerDeviceExportCodes) {
    ASSERT_TRUE(tree.plug(phone("1-1", "r58m40abcde")));
    start();
    ASSERT_TRUE(waitLogged(identified("r58m40abcde")));
    EXPECT_EQ(readyToSync("R58M40ABCDE"), 0) << "serials compare ignoring case";
    EXPECT_EQ(readyToSync("r58m40abcdf"), 1);

    DeviceRecord record = recordFor("R58M40ABCDE");
    EXPECT_EQ(module.DeviceSyncBegin(&record), 0);
    EXPECT_EQ(module.DisconnectDevice(&record), 0);
    record.serialno[0] = u'X';
    EXPECT_EQ(module.DeviceSyncBegin(&record), 1);
    EXPECT_EQ(module.DisconnectDevice(&record), 0) << "no thread matched: still 0";
}

TEST_F(Detection, PhonesTheModuleCannotServeGetNoLastingThread) {
    FakeUsbDevice noSerial = phone("1-1", "");
    ASSERT_TRUE(tree.plug(noSerial));
    FakeUsbDevice unsupported = phone("1-2", "U1");
    unsupported.vid = 0x2717;
    ASSERT_TRUE(tree.plug(unsupported));
    ASSERT_TRUE(tree.addHub("1-3", 2));
    start();
    ASSERT_TRUE(waitLogged("device no support.leave detect thread"));
    ASSERT_TRUE(waitLogged("remove device by detect array."));
    EXPECT_EQ(logged("CUsbDeviceThread_Android::InitInstance() ++"), 1u)
        << "only the phone without a serial was tried";
}

TEST_F(Detection, StartStopStartRunsTwoGenerations) {
    ASSERT_TRUE(tree.plug(phone("1-1", "GEN")));
    start();
    ASSERT_TRUE(waitLogged(identified("GEN")));
    EXPECT_EQ(module.stopDetect(), 0);
    ASSERT_TRUE(waitLogged("CUsbDetect::usbGetDeviceThread() --"));
    EXPECT_TRUE(sandbox.logContains("app will leave.."));
    EXPECT_EQ(readyToSync("GEN"), 1) << "the stopped generation took its threads along";

    EXPECT_EQ(module.startDetect(), 0);
    ASSERT_TRUE(waitLogged(identified("GEN"), 2));
    EXPECT_EQ(readyToSync("GEN"), 0);
    EXPECT_EQ(logged("CUsbDetect::usbGetDeviceThread() ++"), 2u);
    EXPECT_EQ(logged("CUsbDetect::usbGetDeviceThread() --"), 1u);

    // A second start while running adds no generation.
    EXPECT_EQ(module.startDetect(), 0);
    EXPECT_EQ(logged("CUsbDetect::usbGetDeviceThread() ++"), 2u);
}

TEST_F(Detection, StopWithoutWaitingAndUnloadWithPhonesAttached) {
    for (int port = 1; port <= 5; ++port) {
        ASSERT_TRUE(tree.plug(phone("1-" + std::to_string(port), "U" + std::to_string(port))));
    }
    start();
    ASSERT_TRUE(waitLogged("[DETECT] serial ", 5));
    EXPECT_EQ(module.stopDetect(), 0);
    // Unloading must end every module thread before the code goes away;
    // a thread left running would crash the process here.
    module.unload();
    std::string log = sandbox.log();
    EXPECT_EQ(ddtest::countOf(log, "CUsbDeviceThread_Android::InitInstance() ++"),
              ddtest::countOf(log, "CUsbDeviceThread_Android::InitInstance() --"));
    EXPECT_NE(log.find("CUsbDetect::usbGetDeviceThread() --"), std::string::npos);
}

TEST_F(Detection, UnloadWhileDetectingStopsEverything) {
    ASSERT_TRUE(tree.plug(phone("1-1", "BUSY")));
    start();
    ASSERT_TRUE(waitLogged(identified("BUSY")));
    module.unload();  // no QX_stopDetect: unloading runs the stop itself
    EXPECT_TRUE(sandbox.logContains("CUsbDeviceThread_Android::InitInstance() --"));
}

TEST_F(Detection, HalfWrittenEntriesNeitherCrashNorGetThreads) {
    start();
    ASSERT_TRUE(waitLogged("--CUsbDetect::usbDetect"));
    ASSERT_TRUE(tree.addRootHub(1, 6));
    FakeUsbDevice noVendor = phone("1-1", "NOVENDOR");
    noVendor.overrides["idVendor"] = std::nullopt;
    FakeUsbDevice garbage = phone("1-2", "GARBAGE");
    garbage.overrides["idProduct"] = "\x01\x02garbage\n";
    FakeUsbDevice unreadable = phone("1-3", "UNREADABLE");
    unreadable.unreadable = {"idVendor", "serial"};
    FakeUsbDevice beyond = phone("1-7", "BEYOND");  // the hub has 6 ports
    for (const FakeUsbDevice& device : {noVendor, garbage, unreadable, beyond}) {
        ASSERT_TRUE(tree.plug(device));
    }
    ASSERT_TRUE(tree.plug(phone("1-4", "GOOD")));
    ASSERT_TRUE(waitLogged(identified("GOOD")));
    EXPECT_EQ(logged("CUsbDeviceThread_Android::InitInstance() ++"), 1u);

    // The half-written device is completed later, without an event of its
    // own: it is looked at again with the next event.
    tree.writeAttribute("1-1", "idVendor", "18d1\n");
    ASSERT_TRUE(tree.plug(phone("1-5", "TRIGGER")));
    ASSERT_TRUE(waitLogged(identified("NOVENDOR")));
    EXPECT_EQ(logged("--CUsbDetect::usbDetect"), 1u) << "events are handled by name";
    EXPECT_EQ(readyToSync("GOOD"), 0);
}

TEST_F(Detection, UnplugStormLeavesExactlyTheTruth) {
    start();
    ASSERT_TRUE(waitLogged("--CUsbDetect::usbDetect"));
    ASSERT_TRUE(tree.addRootHub(1, 8));
    // Four ports flapping at once; two end plugged, two end unplugged.
    std::vector<std::thread> flappers;
    for (int port = 1; port <= 4; ++port) {
        flappers.emplace_back([this, port] {
            std::string name = "1-" + std::to_string(port);
            for (int round = 0; round < 40; ++round) {
                tree.plug(phone(name, "STORM" + std::to_string(port)));
                tree.unplug(name);
            }
            if (port % 2 == 0) {
                tree.plug(phone(name, "STORM" + std::to_string(port)));
            }
        });
    }
    for (std::thread& flapper : flappers) {
        flapper.join();
    }
    ASSERT_TRUE(ddtest::waitUntil([&] {
        return readyToSync("STORM2") == 0 && readyToSync("STORM4") == 0 &&
               readyToSync("STORM1") == 1 && readyToSync("STORM3") == 1;
    }));
    // Every thread that started for the ports that are empty now has ended;
    // exactly one is alive for each plugged phone.
    ASSERT_TRUE(ddtest::waitUntil([&] {
        std::string log = sandbox.log();
        return ddtest::countOf(log, "CUsbDeviceThread_Android::InitInstance() ++") ==
               ddtest::countOf(log, "CUsbDeviceThread_Android::InitInstance() --") + 2;
    }));
}

class DetectionAtTheLimit : public Detection {
  protected:
    DetectionAtTheLimit() : Detection("Info") {}
};

TEST_F(DetectionAtTheLimit, At255RunningThreadsTheNextWaitsForAPlace) {
    // 256 phones on 18 root hubs of 15 ports.
    std::vector<std::string> ports;
    for (int bus = 1; ports.size() < 256; ++bus) {
        for (int port = 1; port <= 15 && ports.size() < 256; ++port) {
            ports.push_back(std::to_string(bus) + "-" + std::to_string(port));
            ASSERT_TRUE(tree.plug(phone(ports.back(), "P" + std::to_string(ports.size()))));
        }
    }
    start();
    ASSERT_TRUE(waitLogged("[DETECT] serial ", 255, std::chrono::seconds(60)));
    ASSERT_TRUE(waitLogged("connect count more than 255"));
    EXPECT_EQ(logged("[DETECT] serial "), 255u);

    // One phone leaves: its place goes to the one that waited.
    std::string waiting;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (!sandbox.logContains(identified("P" + std::to_string(i + 1)))) {
            waiting = "P" + std::to_string(i + 1);
        }
    }
    ASSERT_FALSE(waiting.empty());
    std::string leaving = waiting == "P1" ? "1-2" : "1-1";
    ASSERT_TRUE(tree.unplug(leaving));
    ASSERT_TRUE(waitLogged(identified(waiting), 1, std::chrono::seconds(60)));
    EXPECT_EQ(logged("[DETECT] serial "), 256u);
}

}  // namespace
