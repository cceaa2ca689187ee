// The watch thread handles a USB event by the name it carries, and falls
// back to a scan of every port when events are lost or carry no usable name.
// The monitor here reports what each test scripts while the fake tree
// changes silently, so every kind of event, lost ones included, can be
// played against a tree whose truth is known.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "core/device_detect_app.h"
#include "device/usb_device_thread.h"
#include "fake_usb_tree.h"
#include "platform/usb_monitor.h"
#include "test_env.h"

namespace {

using dd::platform::UsbMonitor;
using phonesim::FakeUsbDevice;
using phonesim::FakeUsbTree;

class ScriptedMonitor final : public UsbMonitor {
  public:
    ScriptedMonitor() {
        if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            m_pipe[0] = m_pipe[1] = -1;
        }
    }
    ~ScriptedMonitor() override {
        for (int fd : m_pipe) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    // The next wait() reports what script adds (with whatever came before).
    void report(const std::function<void(Changes&)>& script) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            script(m_pending);
        }
        char byte = 1;
        EXPECT_EQ(write(m_pipe[1], &byte, 1), 1);
    }

  protected:
    int sourceFd() const override { return m_pipe[0]; }
    void drainSource(Changes& changes) override {
        char buffer[64];
        while (read(m_pipe[0], buffer, sizeof(buffer)) > 0) {
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        bool woken = changes.woken;
        changes = std::move(m_pending);
        changes.woken = changes.woken || woken;
        m_pending = Changes();
    }

  private:
    int m_pipe[2];
    std::mutex m_mutex;
    Changes m_pending;
};

std::atomic<ScriptedMonitor*> g_monitor{nullptr};

class WatchEvents : public ::testing::Test {
  protected:
    ddtest::Sandbox sandbox;
    FakeUsbTree tree{sandbox.sysfsRoot, sandbox.devRoot};

    void SetUp() override {
        theApp.m_usbDetect.setMonitorOpener([](const std::string&) {
            auto monitor = std::make_unique<ScriptedMonitor>();
            g_monitor.store(monitor.get());
            return monitor;
        });
        theApp.readLoaderConfig();
        ASSERT_EQ(theApp.prepareDetect(), 0);
        theApp.startDetect();
        ASSERT_TRUE(sandbox.waitForLog("--CUsbDetect::usbDetect"));
        ASSERT_TRUE(tree.addRootHub(1, 8));
    }
    void TearDown() override {
        theApp.stopDetect();
        theApp.waitForDetectionEnd();
        theApp.m_usbDetect.setMonitorOpener(nullptr);
        g_monitor.store(nullptr);
    }

    // A phone waiting for its driver: its thread lives on without adb.
    void plugQuietly(const std::string& port, const std::string& serial) {
        FakeUsbDevice device;
        device.port = port;
        device.serial = serial;
        device.node = false;
        ASSERT_TRUE(tree.plug(device));
    }
    static bool hasThread(const std::string& serial) {
        for (const auto& thread : theApp.deviceThreads()) {
            if (thread->m_csSerialNum.matches(serial)) {
                return true;
            }
        }
        return false;
    }
    static bool becomes(bool wanted, const std::string& serial) {
        return ddtest::waitUntil([&] { return hasThread(serial) == wanted; });
    }
    void report(const std::function<void(UsbMonitor::Changes&)>& script) {
        g_monitor.load()->report(script);
    }
    // An event the watch thread has handled once the phone it names has a
    // thread: the events scripted before it have been handled too.
    void plugAndAnnounce(const std::string& port, const std::string& serial) {
        plugQuietly(port, serial);
        report([&](UsbMonitor::Changes& c) { c.addArrival(port + ":1.0"); });
        ASSERT_TRUE(becomes(true, serial));
    }
};

// Each way of losing events: the phone that came and went unseen is found,
// and found gone, by the scan that stands in for the lost names.
TEST_F(WatchEvents, LostEventsEndInTheTreesTruth) {
    struct Loss {
        const char* what;
        std::function<void(UsbMonitor::Changes&)> arrival, removal;
    };
    auto manyNames = [](UsbMonitor::Changes& c, bool arrival) {
        for (int i = 0; i < 1100; ++i) {
            std::string name =
                "9-" + std::to_string(i / 100 + 1) + "." + std::to_string(i % 100 + 1);
            arrival ? c.addArrival(name) : c.addRemoval(name);
        }
    };
    const Loss losses[] = {
        {"overflow", [](auto& c) { c.overflow = true; }, [](auto& c) { c.overflow = true; }},
        {"no name", [](auto& c) { c.addArrival(""); }, [](auto& c) { c.addRemoval(""); }},
        {"not a device's name", [](auto& c) { c.addArrival("../x"); },
         [](auto& c) { c.addRemoval(std::string(80, '1')); }},
        {"more names than are kept", [&](auto& c) { manyNames(c, true); },
         [&](auto& c) { manyNames(c, false); }},
    };
    int n = 0;
    for (const Loss& loss : losses) {
        SCOPED_TRACE(loss.what);
        std::string serial = "LOST" + std::to_string(++n);
        plugQuietly("1-1", serial);
        report(loss.arrival);
        EXPECT_TRUE(becomes(true, serial));
        ASSERT_TRUE(tree.unplug("1-1"));
        report(loss.removal);
        EXPECT_TRUE(becomes(false, serial));
    }
}

// A named event costs a look at what it names: a phone elsewhere that came
// unseen stays unseen until an event reaches its port, through its own
// name, its hub's or its root hub's.
TEST_F(WatchEvents, NamedEventsLookWhereTheyPoint) {
    plugQuietly("1-1", "ELSEWHERE");
    plugAndAnnounce("1-2", "NAMED");
    EXPECT_FALSE(hasThread("ELSEWHERE"));
    report([](auto& c) { c.addArrival("usb1"); });
    EXPECT_TRUE(becomes(true, "ELSEWHERE"));

    // A hub that comes with phones on it: its name leads to all of them.
    ASSERT_TRUE(tree.addHub("1-3", 4));
    plugQuietly("1-3.1", "BELOW1");
    ASSERT_TRUE(tree.addHub("1-3.4", 2));
    plugQuietly("1-3.4.2", "BELOW2");
    report([](auto& c) { c.addArrival("1-3"); });
    EXPECT_TRUE(becomes(true, "BELOW1"));
    EXPECT_TRUE(becomes(true, "BELOW2"));

    // The hub goes with its phones: the removal of its name ends both
    // threads and leaves the others be.
    ASSERT_TRUE(tree.unplug("1-3"));
    report([](auto& c) { c.addRemoval("1-3"); });
    EXPECT_TRUE(becomes(false, "BELOW1"));
    EXPECT_TRUE(becomes(false, "BELOW2"));
    EXPECT_TRUE(hasThread("NAMED"));
    EXPECT_TRUE(hasThread("ELSEWHERE"));
    EXPECT_EQ(sandbox.logCount("--CUsbDetect::usbDetect"), 1u) << "no event needed a scan";
}

// A device seen half written is looked at again with each later event until
// it is whole, also when its completion comes with no event of its own.
TEST_F(WatchEvents, HalfWrittenDevicesAreLookedAtAgain) {
    FakeUsbDevice half;
    half.port = "1-4";
    half.serial = "HALF";
    half.node = false;
    half.overrides["idProduct"] = std::nullopt;
    ASSERT_TRUE(tree.plug(half));
    plugAndAnnounce("1-5", "FIRST");
    report([](auto& c) { c.addArrival("1-4"); });
    plugAndAnnounce("1-6", "SECOND");
    EXPECT_FALSE(hasThread("HALF"));

    tree.writeAttribute("1-4", "idProduct", "4ee7\n");
    plugAndAnnounce("1-7", "THIRD");
    EXPECT_TRUE(becomes(true, "HALF"));
}

}  // namespace
