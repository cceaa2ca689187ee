// The sync-status link end to end against phonesim's sync tool: status lines
// reaching the phone at quiet seconds, the phone's requests reaching the
// host, bad input, loss, rebuild and stop.
#include "android/sync_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "android/link_sockets.h"
#include "core/device_detect_app.h"
#include "in_process_log.h"
#include "links_full_listener.h"
#include "phone_harness.h"
#include "sync_tool.h"
#include "test_env.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kDeadline = 10s;

class SyncLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(phone.start());
        port = phone.syncPort();
    }
    void TearDown() override {
        server.reset();
        phone.stop();
    }

    // Builds the worker; quiet is the link's wait (one second in the module).
    void makeServer(std::chrono::milliseconds quiet = 1s) {
        server = std::make_unique<dd::android::SyncServerThread>(
            dd::android::SyncServerLinks{port, status, stopped,
                                         [this] { stopAppCalls.fetch_add(1); },
                                         [this](const std::string& text, int32_t action) {
                                             std::lock_guard<std::mutex> lock(requestMutex);
                                             requests.emplace_back(text, action);
                                         }},
            quiet);
    }
    void startLinked(std::chrono::milliseconds quiet = 1s) {
        makeServer(quiet);
        int before = phone.syncConnections();
        ASSERT_TRUE(server->start());
        ASSERT_TRUE(phone.waitForSyncLink(before + 1, kDeadline));
    }
    // What a host call does: store the status, then wake the link.
    void setStatus(int32_t value) {
        status = value;
        server->statusChanged();
    }
    std::vector<std::pair<std::string, int32_t>> received() {
        std::lock_guard<std::mutex> lock(requestMutex);
        return requests;
    }
    bool waitForRequests(size_t count) {
        return ddtest::waitUntil([&] { return received().size() >= count; }, kDeadline);
    }
    std::string log() { return logs.sandbox.log(); }
    // Whether the worker ends within the deadline (only a wake-up can do it).
    bool joinsInTime() {
        std::atomic<bool> joined{false};
        std::thread joiner([&] {
            server->join();
            joined = true;
        });
        bool ended = ddtest::waitUntil([&] { return joined.load(); }, kDeadline);
        joiner.join();
        return ended;
    }
    bool waitForLog(const std::string& text) { return logs.sandbox.waitForLog(text, kDeadline); }

    ddtest::InProcessLog logs;
    phonesim::SyncTool phone;
    uint16_t port = 0;
    std::atomic<int32_t> status{-1};
    std::atomic<int32_t> stopped{1};
    std::atomic<int> stopAppCalls{0};
    std::mutex requestMutex;
    std::vector<std::pair<std::string, int32_t>> requests;
    std::unique_ptr<dd::android::SyncServerThread> server;
};

// --- Status lines --------------------------------------------------------------

TEST_F(SyncLinkTest, NoStatusIsSentUntilTheHostSetsOne) {
    startLinked(50ms);
    // Let several quiet periods pass: the phone hears of the status only
    // once it is set, and then exactly once.
    ASSERT_TRUE(phone.sendSync("probe"));
    ASSERT_TRUE(waitForLog("byteRecvBuf =probe"));
    setStatus(0);
    ASSERT_TRUE(phone.waitForSyncReceived("SYNC_STARTED\r\n", kDeadline));
    EXPECT_EQ(phone.syncReceived(), "SYNC_STARTED\r\n");
}

// A status set before the link is told at its first quiet period.
TEST_F(SyncLinkTest, OnlyChangesAreSentAndOneAfterTwoIsToldAgain) {
    status = 2;
    startLinked(50ms);
    ASSERT_TRUE(phone.waitForSyncReceived("READY_TO_SYNC\r\n", kDeadline));
    setStatus(1);  // same bytes, other meaning: sent again
    ASSERT_TRUE(phone.waitForSyncReceived("READY_TO_SYNC\r\nREADY_TO_SYNC\r\n", kDeadline));
    setStatus(1);  // repeated: nothing
    setStatus(0);
    ASSERT_TRUE(phone.waitForSyncReceived("SYNC_STARTED\r\n", kDeadline));
    setStatus(2);
    ASSERT_TRUE(phone.waitForSyncReceived("SYNC_STARTED\r\nREADY_TO_SYNC\r\n", kDeadline));
    EXPECT_EQ(phone.syncReceived(),
              "READY_TO_SYNC\r\nREADY_TO_SYNC\r\nSYNC_STARTED\r\nREADY_TO_SYNC\r\n");
    EXPECT_EQ(logs.count("send stop sync"), 1u);
    EXPECT_EQ(logs.count("send ready sync"), 2u);
}

TEST_F(SyncLinkTest, StatusWaitsWhileThePhoneKeepsSending) {
    // A quiet period long enough that every request below lands inside it.
    startLinked(2s);
    setStatus(0);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(phone.sendStart("r" + std::to_string(i)));
        ASSERT_TRUE(waitForRequests(static_cast<size_t>(i) + 1));
    }
    EXPECT_EQ(phone.syncReceived(), "") << "a status left while the phone was talking";
    ASSERT_TRUE(phone.waitForSyncReceived("SYNC_STARTED\r\n", 15s));
}

// --- The phone's requests ----------------------------------------------------------

// The parsing rules are the parser's own; here: each read is one request to
// the host, a full 128-byte read still fits, a stop after a ';' keeps the link.
TEST_F(SyncLinkTest, EachReadIsOneRequestToTheHost) {
    startLinked();
    const std::pair<std::string, std::pair<std::string, int32_t>> cases[] = {
        {"ABC;START", {"ABC", 0}},
        {"X;STOP_APP", {"X", 1}},
        {std::string(122, 'x') + ";START", {std::string(122, 'x'), 0}},
    };
    std::vector<std::pair<std::string, int32_t>> expected;
    for (const auto& [sent, request] : cases) {
        ASSERT_TRUE(phone.sendSync(sent));
        expected.push_back(request);
        ASSERT_TRUE(waitForRequests(expected.size())) << sent;
    }
    EXPECT_EQ(received(), expected);
    EXPECT_EQ(stopAppCalls.load(), 0);
    EXPECT_EQ(stopped.load(), 0) << "the link stays";
}

TEST_F(SyncLinkTest, ReadsAreCutAt128BytesAndNeverJoined) {
    startLinked();
    ASSERT_TRUE(phone.sendSync("AB"));
    ASSERT_TRUE(waitForLog("byteRecvBuf =AB"));
    ASSERT_TRUE(phone.sendSync(";START"));  // a read of its own: no text
    ASSERT_TRUE(waitForRequests(1));
    EXPECT_EQ(received()[0], std::make_pair(std::string(), 0));

    // 155 bytes: the first read takes 128 letters (no ';': ignored), the
    // second the rest, whose own text goes to the host.
    ASSERT_TRUE(phone.sendSync(std::string(150, 'y') + ";STOP"));
    ASSERT_TRUE(waitForRequests(2));
    EXPECT_EQ(received()[1], std::make_pair(std::string(22, 'y'), 1));

    // 133 bytes whose keyword falls into the second read: the first read is
    // a ';' without a keyword, the second "START" alone; neither reaches the host.
    ASSERT_TRUE(phone.sendSync(std::string(127, 'z') + ";START"));
    ASSERT_TRUE(waitForLog("undefine command from device."));
    ASSERT_TRUE(waitForLog("byteRecvBuf =START"));
    ASSERT_TRUE(phone.sendStop("after"));
    ASSERT_TRUE(waitForRequests(3));
    EXPECT_EQ(received()[2], std::make_pair(std::string("after"), 1));
}

TEST_F(SyncLinkTest, BadInputIsEscapedLoggedOnceAndTheLinkKept) {
    startLinked();
    ASSERT_TRUE(phone.sendSync(std::string("\x01\x02\xff\r\n", 5)));
    ASSERT_TRUE(waitForLog("byteRecvBuf =\\x01\\x02\\xff\\x0d\\x0a"));
    ASSERT_TRUE(phone.sendSync("hello;WORLD"));
    ASSERT_TRUE(waitForLog("undefine command from device."));
    ASSERT_TRUE(phone.sendSync("plain words"));
    ASSERT_TRUE(waitForLog("byteRecvBuf =plain words"));
    EXPECT_EQ(logs.count("undefine command from device."), 1u) << "data without ';' is silent";
    ASSERT_TRUE(phone.sendStart("ok"));
    ASSERT_TRUE(waitForRequests(1));
    EXPECT_EQ(stopped.load(), 0);
}

TEST_F(SyncLinkTest, StopAppEndsThePhonesConnection) {
    startLinked();
    ASSERT_TRUE(phone.sendStopApp());
    ASSERT_TRUE(ddtest::waitUntil([&] { return stopped.load() == 1; }, kDeadline));
    EXPECT_EQ(stopAppCalls.load(), 1);
    EXPECT_TRUE(phone.waitForSyncClosed(kDeadline));
    EXPECT_TRUE(received().empty());
}

// --- Host callback ------------------------------------------------------------------

TEST_F(SyncLinkTest, RequestsReachTheHostCallbackAsUtf16) {
    ddtest::HostRecorder host;
    theApp.syncCB.store(&ddtest::HostRecorder::onSync);
    server = std::make_unique<dd::android::SyncServerThread>(dd::android::SyncServerLinks{
        port, status, stopped, [] {}, dd::android::notifyHostOfSyncRequest});
    ASSERT_TRUE(server->start());
    ASSERT_TRUE(phone.waitForSyncLink(1, kDeadline));
    ASSERT_TRUE(phone.sendStart("Ren\xc3\xa9\xe2\x82\xac"));
    bool arrived = host.waitForSync(1);
    theApp.syncCB.store(nullptr);
    ASSERT_TRUE(arrived);
    EXPECT_EQ(host.syncs()[0].text, "Ren\xc3\xa9\xe2\x82\xac") << "UTF-8 there and back";
    EXPECT_EQ(host.syncs()[0].action, 0);
}

// --- Loss, rebuild, stop ---------------------------------------------------------------

TEST_F(SyncLinkTest, ConnectFailureEndsTheWorkerWithALogLine) {
    port = dd::android::AllocLocalPort();  // nobody listens there
    ASSERT_NE(port, 0);
    makeServer();
    ASSERT_TRUE(server->start());
    ASSERT_TRUE(ddtest::waitUntil([&] { return stopped.load() == 1; }, kDeadline));
    EXPECT_TRUE(waitForLog("FAILED: connect android failed"));
}

TEST_F(SyncLinkTest, LostLinkEndsSilentlyAndARebuiltLinkTellsTheStatusAgain) {
    status = 2;
    startLinked(50ms);
    ASSERT_TRUE(phone.waitForSyncReceived("READY_TO_SYNC\r\n", kDeadline));
    EXPECT_FALSE(server->start()) << "one worker at a time";
    phone.dropSyncLinks();
    ASSERT_TRUE(ddtest::waitUntil([&] { return stopped.load() == 1; }, kDeadline));
    EXPECT_FALSE(log().find("FAILED") != std::string::npos) << "a lost link is not a failure";

    phone.clearSyncReceived();
    ASSERT_TRUE(server->start()) << "the owner rebuilds after a loss";
    ASSERT_TRUE(phone.waitForSyncLink(2, kDeadline));
    ASSERT_TRUE(phone.waitForSyncReceived("READY_TO_SYNC\r\n", kDeadline));
    EXPECT_EQ(phone.syncReceived(), "READY_TO_SYNC\r\n");
}

TEST_F(SyncLinkTest, StopWakesTheWorkerAtOnce) {
    // The worker's own wait would last a minute; only the stop can end it in time.
    startLinked(60s);
    server->requestStop();
    ASSERT_TRUE(joinsInTime());
    EXPECT_EQ(stopped.load(), 1);
    EXPECT_TRUE(phone.waitForSyncClosed(kDeadline));
}

TEST_F(SyncLinkTest, StopDuringConnectEndsItAtOnce) {
    linktest::FullListener listener;
    ASSERT_TRUE(listener.full());
    port = listener.port();
    makeServer(60s);
    ASSERT_TRUE(server->start());
    server->disable();
    ASSERT_TRUE(joinsInTime());
    EXPECT_EQ(stopped.load(), 1);
    EXPECT_FALSE(log().find("FAILED: connect android failed") != std::string::npos)
        << "a stop is not a failed connect";
}

TEST_F(SyncLinkTest, DisabledLinkIsNeverRebuilt) {
    startLinked();
    server->disable();
    server->join();
    EXPECT_EQ(stopped.load(), 1);
    EXPECT_FALSE(server->start());
    EXPECT_EQ(phone.syncConnections(), 1);
}

}  // namespace
