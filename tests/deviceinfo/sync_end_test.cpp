// QX_DeviceSyncEnd as the host calls it: through a freshly loaded module, to
// the simulated phone's companion service.
#include <gtest/gtest.h>

#include <string>

#include "base/text_codec.h"
#include "companion_service.h"
#include "loopback_peers.h"
#include "module_loader.h"
#include "test_env.h"

namespace {

using phonesim::CompanionService;

DeviceRecord recordFor(const std::string& serverIp, uint32_t port) {
    DeviceRecord record{};
    dd::copyToField(record.serialno, "SIM0001");
    dd::copyToField(record.serverip, serverIp);
    record.adbdeviceport = port;
    return record;
}

class SyncEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(module.ok());
        ASSERT_EQ(module.InitDetect(), 0);
        ASSERT_TRUE(service.start());
    }
    ddtest::Sandbox sandbox;
    ddtest::LoadedModule module;
    CompanionService service;
};

TEST_F(SyncEnd, RequestsSyncDoEndOnTheRecordsAddressAndPort) {
    DeviceRecord record = recordFor("127.0.0.1", service.port());
    EXPECT_EQ(module.DeviceSyncEnd(&record), 0);
    EXPECT_EQ(service.syncEndCount(), 1u);
    ASSERT_EQ(service.requests().size(), 1u);
    EXPECT_EQ(service.requests()[0].method, "GET");
    EXPECT_EQ(service.requests()[0].target, "/sync/do/end");
    EXPECT_EQ(service.requests()[0].header("Content-length"), "0");
    EXPECT_TRUE(sandbox.logContains("--QX_DeviceSyncEnd ret 0"));
}

TEST_F(SyncEnd, TheReplyIsNotExamined) {
    service.setRawReply(std::string("HTTP/1.1 500 Broken\r\n\r\n\x01\x02 not json"));
    DeviceRecord record = recordFor("127.0.0.1", service.port());
    EXPECT_EQ(module.DeviceSyncEnd(&record), 0);
}

TEST_F(SyncEnd, OnlyADottedAddressIsUsed) {
    for (const char* address : {"localhost", "127.0.0.1/evil?", "127.0.0.1:1", "", "1.2.3",
                                "127.0.0.1\r\nHost: x", "300.0.0.1"}) {
        DeviceRecord record = recordFor(address, service.port());
        EXPECT_EQ(module.DeviceSyncEnd(&record), 1) << address;
    }
    DeviceRecord record = recordFor("127.0.0.1", 70000);
    EXPECT_EQ(module.DeviceSyncEnd(&record), 1);
    EXPECT_EQ(service.requestCount(), 0u);
}

// A peer that keeps a byte coming every 400 ms never trips a silence timer;
// the call still ends within its overall limit (about 10 s), and fails.
TEST_F(SyncEnd, ATricklingPeerCannotHoldTheCall) {
    ddtest::TricklePeer trickle;
    DeviceRecord record = recordFor("127.0.0.1", trickle.port());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(module.DeviceSyncEnd(&record), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_LT(trickle.bytesSent(), 40u);
    EXPECT_TRUE(sandbox.logContains("reply not complete within 10000 ms")) << sandbox.log();
}

}  // namespace
