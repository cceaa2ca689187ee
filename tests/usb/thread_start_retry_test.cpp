// A device thread that cannot be started (the process is out of threads) is
// not lost: it stays listed and a later scan that sees its phone tries again.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <system_error>

#include "core/device_detect_app.h"
#include "device/usb_device_thread.h"
#include "fake_usb_tree.h"
#include "test_env.h"

namespace {

// The thread of the phone on port 1-1 (root hub usb1, port 1), whose first
// starts fail the way std::thread fails at the thread limit.
class ThreadThatStartsLate : public CUsbDeviceThread {
  public:
    explicit ThreadThatStartsLate(int failures)
        : CUsbDeviceThread("usb1", 1, "", 0x18d1, 0x4ee7, nullptr), m_failures(failures) {}
    ~ThreadThatStartsLate() override {
        RequestExit();
        Join();
    }
    void TouchConnectMarker() override {}
    int Disconnect(bool) override { return 1; }
    std::atomic<int> attempts{0};
    std::atomic<bool> ran{false};

  protected:
    std::thread startThread(std::function<void()> body) override {
        if (++attempts <= m_failures) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return CUsbDeviceThread::startThread(std::move(body));
    }
    int InitInstance() override {
        ran = true;
        while (pause(std::chrono::seconds(10))) {
        }
        return 0;
    }

  private:
    const int m_failures;
};

class ThreadStartRetry : public ::testing::Test {
  protected:
    ddtest::Sandbox sandbox;
    phonesim::FakeUsbTree tree{sandbox.sysfsRoot, sandbox.devRoot};

    void SetUp() override {
        theApp.readLoaderConfig();
        ASSERT_EQ(theApp.prepareDetect(), 0);
        theApp.startDetect();
    }
    void TearDown() override {
        theApp.stopDetect();
        theApp.waitForDetectionEnd();
    }
};

TEST_F(ThreadStartRetry, ThreadThatCouldNotStartIsStartedByALaterScan) {
    auto thread = std::make_shared<ThreadThatStartsLate>(1);
    theApp.AddDeviceThread(thread);
    ASSERT_TRUE(ddtest::waitUntil([&] { return thread->attempts.load() >= 1; }));
    EXPECT_TRUE(sandbox.waitForLog("cannot start a device thread yet"));
    // Nothing was counted and the object waits in the list, not reaped.
    EXPECT_EQ(theApp.m_lConnectCount.load(), 0);
    EXPECT_FALSE(thread->HasEnded());
    EXPECT_EQ(thread->m_nState.load(), CUsbDeviceThread::kStateCreated);

    // The phone's arrival makes the next scan, which finds the waiting thread.
    phonesim::FakeUsbDevice phone;
    phone.port = "1-1";
    phone.serial = "LATE0001";
    ASSERT_TRUE(tree.plug(phone));
    ASSERT_TRUE(ddtest::waitUntil([&] { return thread->ran.load(); }))
        << "the phone was lost with its thread";
    EXPECT_EQ(thread->attempts.load(), 2);
    EXPECT_EQ(theApp.m_lConnectCount.load(), 1);
    EXPECT_EQ(theApp.deviceThreads().size(), 1u) << "no second thread for the same port";
}

}  // namespace
