// Device threads with detection running in-process, where the lists can be
// looked into: the host's disconnect, the running-thread count, and stopping
// threads that need the monitor-list lock on their way out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "android/usb_device_thread_android.h"
#include "base/text_codec.h"
#include "core/device_detect_app.h"
#include "deviceinfo/android_device_info.h"
#include "fake_usb_tree.h"
#include "test_env.h"

namespace {

using phonesim::FakeUsbDevice;
using phonesim::FakeUsbTree;

// What the host's device-change callback saw.
struct Notice {
    int32_t code;
    uint16_t vid;
    uint16_t pid;
    int readyAnswer;  // QX_DeviceReadyToSync called from inside the callback
};
std::mutex g_noticesMutex;
std::vector<Notice> g_notices;

void QX_CALL recordNotice(int32_t code, DeviceRecord* record) {
    // A host may call back into the module from its callback.
    DeviceRecord probe{};
    dd::copyToField(probe.serialno, "DISC1");
    int ready = QX_DeviceReadyToSync(&probe);
    std::lock_guard<std::mutex> lock(g_noticesMutex);
    g_notices.push_back({code, record->vid, record->pid, ready});
}

class DeviceThreads : public ::testing::Test {
  protected:
    ddtest::Sandbox sandbox;
    FakeUsbTree tree{sandbox.sysfsRoot, sandbox.devRoot};

    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(g_noticesMutex);
            g_notices.clear();
        }
        theApp.readLoaderConfig();
        ASSERT_EQ(theApp.prepareDetect(), 0);
        theApp.deviceCB.store(&recordNotice);
        theApp.startDetect();
    }
    void TearDown() override {
        theApp.stopDetect();
        theApp.waitForDetectionEnd();
        theApp.deviceCB.store(nullptr);
    }

    std::shared_ptr<CUsbDeviceThread> identifiedThread(const std::string& serial) {
        std::shared_ptr<CUsbDeviceThread> found;
        ddtest::waitUntil([&] {
            for (const auto& thread : theApp.deviceThreads()) {
                if (thread->m_csSerialNum.matches(serial)) {
                    found = thread;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    void plug(const std::string& port, const std::string& serial) {
        FakeUsbDevice device;
        device.port = port;
        device.serial = serial;
        ASSERT_TRUE(tree.plug(device));
    }
};

TEST_F(DeviceThreads, HostDisconnectKeepsTheThreadAndGivesItsPlaceBackOnce) {
    plug("1-1", "DISC1");
    std::shared_ptr<CUsbDeviceThread> thread = identifiedThread("DISC1");
    ASSERT_TRUE(thread);
    EXPECT_EQ(theApp.m_lConnectCount.load(), 1);
    thread->m_csConnectedSerial.set("DISC1");  // as the link stage sets it before NEW_DEVICE

    EXPECT_EQ(theApp.disconnect("disc1"), 1);
    EXPECT_EQ(thread->m_nState.load(), CUsbDeviceThread::kStateUserDisconnected);
    EXPECT_EQ(thread->m_bUserDisconnect.load(), 1);
    EXPECT_EQ(theApp.m_lConnectCount.load(), 0);
    {
        std::lock_guard<std::mutex> lock(g_noticesMutex);
        ASSERT_EQ(g_notices.size(), 1u);
        EXPECT_EQ(g_notices[0].code, REMOVE_DEVICE);
        EXPECT_EQ(g_notices[0].vid, 0x18d1);
        EXPECT_EQ(g_notices[0].pid, 0x4ee7);
        EXPECT_EQ(g_notices[0].readyAnswer, 0) << "the callback could call back into the module";
    }
    EXPECT_FALSE(thread->HasEnded()) << "the thread runs on while its phone is there";

    EXPECT_EQ(theApp.disconnect("DISC1"), 1);
    EXPECT_EQ(theApp.m_lConnectCount.load(), 0) << "a second disconnect gives nothing back";

    ASSERT_TRUE(tree.unplug("1-1"));
    ASSERT_TRUE(ddtest::waitUntil([&] { return theApp.deviceThreads().empty(); }));
    EXPECT_TRUE(sandbox.logContains("user chose disconnect"));
    EXPECT_EQ(theApp.m_lConnectCount.load(), 0);
    EXPECT_TRUE(theApp.deviceInfos().empty()) << "the entry left with its thread";
}

TEST_F(DeviceThreads, DisconnectWithShutdownEndsTheThread) {
    plug("1-2", "SHUT1");
    std::shared_ptr<CUsbDeviceThread> thread = identifiedThread("SHUT1");
    ASSERT_TRUE(thread);
    EXPECT_EQ(thread->Disconnect(true), 1);
    EXPECT_TRUE(thread->HasEnded());
    EXPECT_EQ(thread->m_nState.load(), CUsbDeviceThread::kStateFinished);
    auto listed = [&] {
        auto threads = theApp.deviceThreads();
        return std::find(threads.begin(), threads.end(), thread) != threads.end();
    };
    ASSERT_TRUE(ddtest::waitUntil([&] { return !listed(); })) << "reaped";
    // The phone is still plugged in, so a later scan may give it a new
    // thread; the count is exactly the threads that run.
    ASSERT_TRUE(ddtest::waitUntil([&] {
        auto threads = theApp.deviceThreads();
        return theApp.m_lConnectCount.load() ==
               std::count_if(threads.begin(), threads.end(),
                             [](const auto& t) { return t->IsResumed() && !t->HasEnded(); });
    }));
}

// A thread that, on its way out, needs the monitor-list lock (as a thread
// that looks up another phone's thread while leaving would).
class LockHungryThread : public CUsbDeviceThread {
  public:
    LockHungryThread() : CUsbDeviceThread("", 0, "", 0, 0, nullptr) {}
    ~LockHungryThread() override {
        RequestExit();
        Join();
    }
    void TouchConnectMarker() override {}
    int Disconnect(bool) override { return 1; }
    std::atomic<bool> running{false};
    std::atomic<bool> finished{false};

  protected:
    int InitInstance() override {
        running = true;
        while (pause(std::chrono::seconds(10))) {
        }
        theApp.findThreadByInfoSerial("anything");  // takes the monitor-list lock
        finished = true;
        return 0;
    }
};

TEST_F(DeviceThreads, StoppingNeverWaitsForAThreadWhileHoldingTheListLock) {
    auto hungry = std::make_shared<LockHungryThread>();
    theApp.AddDeviceThread(hungry);
    ASSERT_TRUE(ddtest::waitUntil([&] { return hungry->running.load(); }));
    theApp.stopDetect();
    auto stopped = std::async(std::launch::async, [] { theApp.waitForDetectionEnd(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "deadlock: a thread was joined under the lock it needed";
    EXPECT_TRUE(hungry->finished.load());
}

TEST_F(DeviceThreads, RemovalWakesThreadsAndThePlaceIsTakenByTheNextPhone) {
    plug("1-3", "FIRST");
    std::shared_ptr<CUsbDeviceThread> first = identifiedThread("FIRST");
    ASSERT_TRUE(first);
    ASSERT_TRUE(tree.unplug("1-3"));
    plug("1-3", "SECOND");
    std::shared_ptr<CUsbDeviceThread> second = identifiedThread("SECOND");
    ASSERT_TRUE(second) << "a phone back on the port of a leaving thread gets its own";
    ASSERT_TRUE(ddtest::waitUntil([&] { return theApp.deviceThreads().size() == 1; }));
    EXPECT_TRUE(first->HasEnded());
}

}  // namespace
