// Our finder alone, driven through its entry points: what a sender on the
// network can make it keep and do. The test plays the module: its state
// callback takes the phones paired with this PC and refuses the others.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "finder.h"
#include "wifi_harness.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kThisPc = "user@this-pc";
constexpr const char* kOtherPc = "user@another-pc";

struct Heard {
    std::string imei, ip;
    int32_t code = -1;
};

// What the finder reported, in order.
class Reports {
  public:
    static int32_t onState(WifiDevRecord* record, int32_t code) {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_heard.push_back({qxwifi::fieldText(record->imei), qxwifi::fieldText(record->ip), code});
        s_changed.notify_all();
        return qxwifi::fieldText(record->paired) == kThisPc ? 1 : 0;
    }
    static bool waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(s_mutex);
        return s_changed.wait_for(lock, 10s, [&] { return s_heard.size() >= count; });
    }
    static std::vector<Heard> heard() {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_heard;
    }
    static bool heardFrom(const std::string& imei) {
        auto all = heard();
        return std::any_of(all.begin(), all.end(), [&](const Heard& h) { return h.imei == imei; });
    }
    static void clear() {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_heard.clear();
    }

  private:
    static inline std::mutex s_mutex;
    static inline std::condition_variable s_changed;
    static inline std::vector<Heard> s_heard;
};

class FinderLimits : public ::testing::Test {
  protected:
    FinderLimits() {
        Reports::clear();
        m_handle = dlopen(DD_TEST_MODULE_DIR "/libQXWIFIFinder.so", RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(m_handle, nullptr) << dlerror();
        ddtest::bindSymbol(m_handle, startDetect, "StartDetect");
        ddtest::bindSymbol(m_handle, stopDetect, "StopDetect");
        ddtest::bindSymbol(m_handle, setStateNotifyCallBack, "SetStateNotifyCallBack");
        ddtest::bindSymbol(m_handle, startClient, "StartClient");
    }
    ~FinderLimits() override {
        if (m_handle != nullptr) {
            stopDetect();
            dlclose(m_handle);
        }
    }

    void start() {
        ASSERT_NE(m_handle, nullptr);
        setStateNotifyCallBack(&Reports::onState);
        ASSERT_EQ(startDetect(kThisPc), 1);
    }
    // A phone with its companion service on an address of its own.
    std::unique_ptr<phonesim::WifiPhone> phone(const std::string& imei, const char* paired) {
        phonesim::WifiPhoneSpec spec;
        spec.imei = imei;
        spec.serial = "";
        spec.paired = paired;
        return ddtest::aimedPhone(spec, m_port);
    }
    static std::string connect(const std::string& imei, const char* paired) {
        qxwifi::AnnouncementFields fields;
        fields.imei = imei;
        fields.paired = paired;
        fields.port = "8183";
        return qxwifi::formatAnnouncement(qxwifi::AnnouncementEvent::Connect, fields);
    }
    bool sendFrom(const std::string& address, const std::string& bytes) const {
        return phonesim::sendDatagram(address, "127.0.0.1", m_port, bytes);
    }
    // Whether the finder would open a client to the phone of imei at address.
    bool clientOpens(const std::string& imei, const std::string& address) {
        WifiDevRecord record{};
        qxwifi::setField(record.imei, imei);
        qxwifi::setField(record.ip, address);
        qxwifi::setField(record.port, "8183");
        return startClient(&record) == 1;
    }

    ddtest::Sandbox sandbox;
    int32_t (*startDetect)(const char*) = nullptr;
    int32_t (*stopDetect)() = nullptr;
    void (*setStateNotifyCallBack)(int32_t (*)(WifiDevRecord*, int32_t)) = nullptr;
    int32_t (*startClient)(WifiDevRecord*) = nullptr;

  private:
    uint16_t m_port = ddtest::freePort(SOCK_DGRAM);
    ddtest::ScopedEnv m_portEnv{"DEVICEDETECT_WIFI_PORT", std::to_string(m_port)};
    ddtest::ScopedEnv m_addressEnv{"DEVICEDETECT_WIFI_ADDRESS", "127.0.0.1"};
    void* m_handle = nullptr;
};

TEST_F(FinderLimits, FullTableForgetsPhonesNobodyServesAndKeepsServedOnes) {
    start();
    auto served = phone("860000000700001", kThisPc);
    auto stranger = phone("860000000700002", kOtherPc);
    ASSERT_TRUE(served->connect());
    ASSERT_TRUE(stranger->connect());
    ASSERT_TRUE(Reports::waitFor(2));
    ASSERT_TRUE(clientOpens("860000000700002", stranger->address())) << "known so far";

    // Many more phones than the table holds, each from an address of its own;
    // sent in batches that the receiver keeps up with.
    const size_t flood = qxwifi::Finder::kMaxPhones + 64;
    for (size_t sent = 0; sent < flood;) {
        for (size_t batch = 0; batch < 64 && sent < flood; ++batch, ++sent) {
            std::string from =
                "127.254." + std::to_string(sent / 250) + "." + std::to_string(sent % 250 + 1);
            ASSERT_TRUE(sendFrom(from, connect("8607" + std::to_string(100000 + sent), kOtherPc)));
        }
        ASSERT_TRUE(Reports::waitFor(2 + sent));
    }
    EXPECT_TRUE(clientOpens("860000000700001", served->address())) << "a served phone stays";
    EXPECT_FALSE(clientOpens("860000000700002", stranger->address()))
        << "the unpaired phone silent longest went first";
}

TEST_F(FinderLimits, AnAddressServesOnePhoneAtATime) {
    start();
    auto served = phone("860000000710001", kThisPc);
    auto stranger = phone("860000000710003", kOtherPc);
    ASSERT_TRUE(served->connect());
    ASSERT_TRUE(Reports::waitFor(1));
    ASSERT_TRUE(served->sendRaw(connect("860000000710002", kThisPc)));
    ASSERT_TRUE(stranger->connect());  // handled after the datagram before it
    ASSERT_TRUE(Reports::waitFor(2));
    EXPECT_FALSE(Reports::heardFrom("860000000710002"));
    EXPECT_TRUE(sandbox.waitForLog("which serves 860000000710001 already"));

    // A phone the module did not take holds its address for nobody.
    ASSERT_TRUE(stranger->sendRaw(connect("860000000710004", kThisPc)));
    ASSERT_TRUE(Reports::waitFor(3));
    EXPECT_TRUE(clientOpens("860000000710004", stranger->address()));
    EXPECT_FALSE(clientOpens("860000000710003", stranger->address())) << "replaced";

    // Once the served phone has left, its address takes another.
    ASSERT_TRUE(served->disconnect());
    ASSERT_TRUE(served->sendRaw(connect("860000000710002", kThisPc)));
    ASSERT_TRUE(Reports::waitFor(5));
    EXPECT_TRUE(Reports::heardFrom("860000000710002"));
}

TEST_F(FinderLimits, FloodFromOneAddressIsCutToItsBudgetAndLoggedOnceAMinute) {
    start();
    auto flooder = phone("860000000720000", kOtherPc);
    constexpr int kFlood = 120;
    for (int i = 0; i < kFlood; ++i) {
        ASSERT_TRUE(flooder->sendRaw(connect("8607" + std::to_string(200000 + i), kOtherPc)));
    }
    auto marker = phone("860000000720999", kOtherPc);
    ASSERT_TRUE(marker->connect());
    ASSERT_TRUE(ddtest::waitUntil([] { return Reports::heardFrom("860000000720999"); }));
    auto heard = Reports::heard();
    size_t fromFlooder = std::count_if(heard.begin(), heard.end(),
                                       [&](const Heard& h) { return h.ip == flooder->address(); });
    EXPECT_LT(fromFlooder, static_cast<size_t>(kFlood));

    EXPECT_EQ(stopDetect(), 1);
    std::string log = sandbox.log();
    EXPECT_EQ(ddtest::countOf(log, "over its address's budget"), 1u) << log;
    EXPECT_EQ(ddtest::countOf(log, "more datagrams within a minute: over their address's budget"),
              1u)
        << log;
}

}  // namespace
