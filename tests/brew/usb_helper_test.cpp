// The serial transport against a simulated BREW phone on a pseudo-terminal
// plugged into a fake USB tree: framing on the wire, busy replies, broken
// and missing replies, unplugging mid-request, and a port someone else holds.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <tuple>

#include "brew/brew_frame.h"
#include "brew/usb_helper.h"
#include "brew_phone.h"
#include "core/device_detect_app.h"
#include "fake_usb_tree.h"
#include "platform/exit_flag.h"
#include "platform/serial_port.h"
#include "test_env.h"

namespace {

using phonesim::BrewPhone;
using phonesim::BrewPhoneSpec;

int frameComplete(const uint8_t* bytes, size_t length) {
    return dd::brew::frameComplete(std::string_view(reinterpret_cast<const char*>(bytes), length));
}

class BrewTransport : public ::testing::Test {
  protected:
    ddtest::Sandbox sandbox;
    phonesim::FakeUsbTree tree{sandbox.sysfsRoot, sandbox.devRoot};
    std::unique_ptr<BrewPhone> phone;
    std::unique_ptr<CUsbHelper> helper;

    void SetUp() override {
        theApp.readLoaderConfig();  // the sandbox's trees, settings and log
        phone = std::make_unique<BrewPhone>(BrewPhoneSpec{});
        ASSERT_TRUE(phone->plug(tree));
        helper = std::make_unique<CUsbHelper>();
        helper->setFrameCompleteTest(frameComplete);
        helper->SetPort(phone->tty(), true);
    }
    void TearDown() override {
        helper.reset();
        phone.reset();
    }
    void setBusySettings(const std::string& lines) {
        ddtest::makeDirs(sandbox.configHome + "/Orq Sync");
        ddtest::writeFile(sandbox.configHome + "/Orq Sync/DeviceDetect.ini",
                          "[Pell]\n" + lines + "\n");
    }
    // A DetectPhone request on a thread of its own, for waits cut short.
    std::future<int> detectLater(int timeoutMs, int retries) {
        return std::async(std::launch::async, [this, timeoutMs, retries] {
            std::string reply;
            return helper->Transact("DetectPhone<EndTag0x0d0c0f>", reply, timeoutMs, retries);
        });
    }
    size_t requestsSeen() const { return phone->commands().size(); }
};

TEST_F(BrewTransport, OpensTheTtyAndFindsItsHubPort) {
    EXPECT_EQ(helper->devicePath(), sandbox.devRoot + "/" + phone->tty());
    ASSERT_EQ(helper->Open(1, 0), CUsbHelper::kOk);
    EXPECT_TRUE(helper->isOpen());
    EXPECT_EQ(helper->hubName(), "usb1");
    EXPECT_EQ(helper->hubPort(), 1);
    EXPECT_EQ(helper->getPortConnectionStatus("usb1", 1), 1);
    EXPECT_EQ(helper->getPortConnectionStatus("usb1", 2), 0);
    std::string hub;
    int port = 0;
    EXPECT_EQ(helper->cmd_FindHubNameAndPortByPort("ttyACM9", hub, port), 2);
    EXPECT_EQ(helper->cmd_FindHubNameAndPortByPort("../ttyACM0", hub, port), 2);
    EXPECT_TRUE(hub.empty());
}

TEST_F(BrewTransport, RequestAndReplyTravelFramedAndEscaped) {
    ASSERT_EQ(helper->Open(1, 0), CUsbHelper::kOk);
    std::string reply;
    ASSERT_EQ(helper->Transact("DetectPhone<EndTag0x0d0c0f>", reply, 5000, 1), CUsbHelper::kOk);
    EXPECT_EQ(reply,
              "DetectPhone OK\r\nModelName:Orq Classic\r\nIMEI:356938035643809\r\n"
              "<EndTag0x0d0c0f>");
    // 7D and 7E in a request reach the phone, and come back in its reply.
    ASSERT_EQ(helper->Transact("SetSyncSetting \r\nme\x7E\x7D@PC <EndTag0x0d0c0f>", reply, 5000, 0),
              CUsbHelper::kOk);
    EXPECT_EQ(phone->syncSetting(), "me\x7E\x7D@PC");
    ASSERT_EQ(helper->Transact("GetSyncSetting<EndTag0x0d0c0f>", reply, 5000, 0), CUsbHelper::kOk);
    EXPECT_NE(reply.find("me\x7E\x7D@PC"), std::string::npos);
}

TEST_F(BrewTransport, ABusyPhoneIsAskedAgainAfterTheConfiguredInterval) {
    setBusySettings("IntervalForPhoneBusy=1");
    EXPECT_EQ(helper->busyIntervalSeconds(), 1);
    ASSERT_EQ(helper->Open(1, 0), CUsbHelper::kOk);
    phone->setBusyReplies(2);
    std::string reply;
    ASSERT_EQ(helper->Transact("DetectPhone<EndTag0x0d0c0f>", reply, 5000, 0), CUsbHelper::kOk)
        << "busy replies do not use up retries";
    EXPECT_EQ(requestsSeen(), 3u);
    EXPECT_NE(reply.find("DetectPhone OK"), std::string::npos);
    EXPECT_TRUE(sandbox.logContains("phone is busy, asking again in 1 s"));
}

// Six seconds between busy replies and ten minutes in all, unless set
// within bounds.
TEST_F(BrewTransport, TheBusySettingsHaveDefaultsAndBounds) {
    EXPECT_EQ(helper->busyIntervalSeconds(), 6);
    EXPECT_EQ(helper->busyLimitMinutes(), 10);
    const std::tuple<std::string, int, int> cases[] = {
        {"IntervalForPhoneBusy=-5\nLimitForPhoneBusy=-1", 6, 10},
        {"IntervalForPhoneBusy=999999\nLimitForPhoneBusy=1441", 6, 10},
        {"IntervalForPhoneBusy=2\nLimitForPhoneBusy=0", 2, 0},
        {"LimitForPhoneBusy=45", 6, 45},
    };
    for (const auto& [lines, interval, limit] : cases) {
        setBusySettings(lines);
        EXPECT_EQ(helper->busyIntervalSeconds(), interval) << lines;
        EXPECT_EQ(helper->busyLimitMinutes(), limit) << lines;
    }
}

// A phone that never stops answering busy cannot hold its caller: past the
// limit (here none at all) the request ends, and no later request is sent.
TEST_F(BrewTransport, APhoneBusyPastItsLimitIsNotAskedAgain) {
    setBusySettings("IntervalForPhoneBusy=60\nLimitForPhoneBusy=0");
    ASSERT_EQ(helper->Open(1, 0), CUsbHelper::kOk);
    phone->setBusyReplies(1 << 30);
    auto result = detectLater(5000, 1);
    if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        phone->unplug();  // ends the busy wait, so the test fails instead of hanging
        FAIL() << "a phone busy for ever held the request";
    }
    EXPECT_EQ(result.get(), CUsbHelper::kBusyTooLong);
    EXPECT_TRUE(helper->busyLimitReached());
    EXPECT_EQ(requestsSeen(), 1u);
    EXPECT_TRUE(sandbox.logContains("past its limit of 0 min (LimitForPhoneBusy)"));
    std::string reply;
    EXPECT_EQ(helper->Transact("GetPhoneInfo<EndTag0x0d0c0f>", reply, 5000, 1),
              CUsbHelper::kBusyTooLong);
    EXPECT_EQ(requestsSeen(), 1u) << "nothing more is sent to the phone";
}

// A broken reply is asked for again; a phone answering nothing else cannot
// hold the caller past its retries.
TEST_F(BrewTransport, ABrokenReplyIsAskedForAgainUpToTheRetries) {
    ASSERT_EQ(helper->Open(1, 0), CUsbHelper::kOk);
    phone->setBrokenReplies(1);
    std::string reply;
    ASSERT_EQ(helper->Transact("GetPhoneInfo<EndTag0x0d0c0f>", reply, 5000, 1), CUsbHelper::kOk);
    EXPECT_EQ(requestsSeen(), 2u);
    EXPECT_NE(reply.find("GetPhoneInfo OK"), std::string::npos);

    phone->setBrokenReplies(1000);
    EXPECT_EQ(helper->Transact("DetectPhone<EndTag0x0d0c0f>", reply, 2000, 2),
              CUsbHelper::kReceiveTimeout);
    EXPECT_EQ(requestsSeen(), 5u) << "one attempt and two retries";
    EXPECT_TRUE(reply.empty());
}

TEST_F(BrewTransport, WithoutRetriesOneSilentRequestGivesSix) {
    ASSERT_EQ(helper->Open(1, 0), CUsbHelper::kOk);
    phone->setSilentRequests(1);
    std::string reply;
    EXPECT_EQ(helper->Transact("DetectPhone<EndTag0x0d0c0f>", reply, 300, 0),
              CUsbHelper::kReceiveTimeout);
    EXPECT_EQ(requestsSeen(), 1u);
    EXPECT_EQ(helper->Transact("DetectPhone<EndTag0x0d0c0f>", reply, 5000, 0), CUsbHelper::kOk)
        << "a late reply to the earlier request is never taken for this one";
}

TEST_F(BrewTransport, UnpluggingDuringABusyWaitEndsItWithSeventeen) {
    setBusySettings("IntervalForPhoneBusy=60");
    ASSERT_EQ(helper->Open(1, 0), CUsbHelper::kOk);
    phone->setBusyReplies(1000);
    auto result = detectLater(5000, 1);
    ASSERT_TRUE(ddtest::waitUntil([&] { return requestsSeen() >= 1; }));
    ASSERT_TRUE(sandbox.waitForLog("phone is busy"));
    phone->unplug();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(result.get(), CUsbHelper::kNotConnected);
}

TEST_F(BrewTransport, ATtyThatVanishesMidRequestFailsCleanly) {
    ASSERT_EQ(helper->Open(1, 0), CUsbHelper::kOk);
    phone->setSilentRequests(1);
    auto result = detectLater(60000, 3);
    ASSERT_TRUE(ddtest::waitUntil([&] { return requestsSeen() >= 1; }));
    phone->unplug();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    int code = result.get();
    EXPECT_TRUE(code == CUsbHelper::kNotConnected || code == CUsbHelper::kReceiveTimeout) << code;
    helper->Close(0);
    EXPECT_FALSE(helper->isOpen());
}

TEST_F(BrewTransport, TheOwnersExitCutsAWaitForAReplyShort) {
    dd::ExitFlag exitFlag;
    helper->setExitFlag(&exitFlag);
    ASSERT_EQ(helper->Open(1, 0), CUsbHelper::kOk);
    phone->setSilentRequests(1);
    auto result = detectLater(60000, 3);
    ASSERT_TRUE(ddtest::waitUntil([&] { return requestsSeen() >= 1; }));
    exitFlag.request();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(result.get(), CUsbHelper::kReceiveTimeout);
    EXPECT_EQ(requestsSeen(), 1u) << "no retry after the exit request";
    helper->Close(0);
}

TEST_F(BrewTransport, APortHeldByAnotherProgramIsReportedAndRetried) {
    dd::platform::SerialPort other;
    int err = 0;
    ASSERT_EQ(other.open(helper->devicePath(), false, err), dd::platform::SerialOpen::kOk);
    EXPECT_EQ(helper->Open(2, 10), CUsbHelper::kOpenFailed);
    EXPECT_TRUE(sandbox.logContains("is held by another program"));
    EXPECT_TRUE(sandbox.logContains("attempt 2 of 2"));
    other.close();
    EXPECT_EQ(helper->Open(2, 10), CUsbHelper::kOk);
}

TEST_F(BrewTransport, AMissingNodeFailsToOpen) {
    helper->SetPort("ttyACM77", true);
    EXPECT_EQ(helper->Open(1, 0), CUsbHelper::kOpenFailed);
    EXPECT_TRUE(sandbox.logContains("is not there"));
}

}  // namespace
