// The pure pieces of Wi-Fi detection: the finder's datagram parser and
// datagram budget, the module's reading of finder records, and the bridge's
// message queue.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "datagram_budget.h"
#include "in_process_log.h"
#include "wifi/wifi_message_queue.h"
#include "wifi/wifi_record.h"
#include "wifi_datagram.h"

namespace {

using qxwifi::AnnouncementEvent;
using qxwifi::parseAnnouncement;

TEST(WifiDatagram, FormattedAnnouncementReadsBack) {
    qxwifi::AnnouncementFields fields;
    fields.imei = "860000000000401";
    fields.serial = "SER401";
    fields.model = "Orq One";
    fields.version = "8.1";
    fields.sdk = "27";
    fields.port = "8183";
    fields.paired = "user@host";
    fields.pid = "0c01";
    fields.autolaunch = 1;
    std::string why;
    auto parsed =
        parseAnnouncement(qxwifi::formatAnnouncement(AnnouncementEvent::StopSync, fields), &why);
    ASSERT_TRUE(parsed) << why;
    EXPECT_EQ(parsed->event, AnnouncementEvent::StopSync);
    EXPECT_STREQ(parsed->record.imei, "860000000000401");
    EXPECT_STREQ(parsed->record.serial, "SER401");
    EXPECT_STREQ(parsed->record.version, "8.1");
    EXPECT_STREQ(parsed->record.pid, "0c01");
    EXPECT_STREQ(parsed->record.paired, "user@host");
    EXPECT_STREQ(parsed->record.ip, "") << "the address is never taken from the datagram";
    EXPECT_EQ(parsed->record.autolaunch, 1);
}

TEST(WifiDatagram, MalformedDatagramsAreRefusedWithAReason) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "not JSON"},
        {"{\"event\":\"connect\",\"imei\":\"1\"", "not JSON"},
        {"[1,2]", "not a JSON object"},
        {"{\"imei\":\"1\"}", "no event"},
        {"{\"event\":\"reboot\",\"imei\":\"1\"}", "unknown event"},
        {"{\"event\":\"connect\"}", "no IMEI"},
        {"{\"event\":\"connect\",\"imei\":5}", "a text member of another type"},
        {"{\"event\":\"connect\",\"imei\":\"1\",\"autolaunch\":\"yes\"}",
         "autolaunch of another type"},
        {"{\"event\":\"connect\",\"imei\":\"1\",\"pid\":\"123456\"}",
         "a text member too long for its field or holding a NUL"},
        {std::string("{\"event\":\"connect\",\"imei\":\"1\\u0000\"}"),
         "a text member too long for its field or holding a NUL"},
        {"{\"event\":\"connect\",\"imei\":\"1\"} trailing", "not JSON"},
        {std::string(3000, ' '), "datagram too long"},
        {std::string(500, '[') + std::string(500, ']'), "not JSON"},
    };
    for (const auto& [datagram, reason] : cases) {
        std::string why;
        EXPECT_FALSE(parseAnnouncement(datagram, &why)) << datagram.substr(0, 60);
        EXPECT_EQ(why, reason) << datagram.substr(0, 60);
    }
}

TEST(WifiDatagram, FieldsFillTheirRoomsExactly) {
    std::string imei(127, '8');
    auto parsed = parseAnnouncement("{\"event\":\"connect\",\"imei\":\"" + imei + "\"}");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(qxwifi::fieldText(parsed->record.imei), imei);
    EXPECT_FALSE(parseAnnouncement("{\"event\":\"connect\",\"imei\":\"" + imei + "8\"}"));
}

WifiDevRecord finderRecord() {
    WifiDevRecord r{};
    std::strcpy(r.imei, "860000000000402");
    std::strcpy(r.serial, "SER402");
    std::strcpy(r.ip, "127.0.3.4");
    std::strcpy(r.port, "8182");
    std::strcpy(r.pid, "2E76");
    return r;
}

TEST(WifiPhoneRecord, ReadsFieldsWithinTheirRooms) {
    WifiDevRecord r = finderRecord();
    std::memset(r.pid, 'F', sizeof(r.pid));  // no NUL: runs into the serial's room
    auto phone = WifiPhoneRecord::fromFinder(r);
    ASSERT_TRUE(phone);
    EXPECT_EQ(phone->pid, "FFFFF");
    EXPECT_EQ(phone->productId(), 0) << "five hex digits are no product id";
    EXPECT_EQ(phone->serial, "SER402");
    EXPECT_EQ(phone->raw.pid[4], '\0') << "the copy handed back is terminated";
    phone->setServicePort();
    EXPECT_STREQ(phone->raw.port, "8183");
    EXPECT_EQ(phone->servicePort(), 8183);

    r = finderRecord();
    phone = WifiPhoneRecord::fromFinder(r);
    ASSERT_TRUE(phone);
    EXPECT_EQ(phone->productId(), 0x2e76);
}

TEST(WifiPhoneRecord, RefusesKeysThatCouldChangeARequest) {
    for (const char* imei : {"", "86 01", "86&a=b", "86#1", "86%20", "86\n1", "86/../1", "86?x"}) {
        WifiDevRecord r = finderRecord();
        std::memset(r.imei, 0, sizeof(r.imei));
        std::memcpy(r.imei, imei, std::strlen(imei));
        std::string why;
        EXPECT_FALSE(WifiPhoneRecord::fromFinder(r, &why)) << imei;
        EXPECT_FALSE(why.empty());
    }
    WifiDevRecord r = finderRecord();
    std::strcpy(r.serial, "SER 402");
    EXPECT_FALSE(WifiPhoneRecord::fromFinder(r));
    r = finderRecord();
    std::strcpy(r.ip, "127.0.0.1:80");
    EXPECT_FALSE(WifiPhoneRecord::fromFinder(r));
    EXPECT_TRUE(isPlainKeyText("ORQT-1.2_3:4"));
}

// The IMEI is the phone's key towards the loader and the host: one that a
// record's field would cut names no phone.
TEST(WifiPhoneRecord, AnImeiLongerThanARecordHoldsIsNoKey) {
    WifiDevRecord r = finderRecord();
    std::memset(r.imei, '8', 63);
    EXPECT_TRUE(WifiPhoneRecord::fromFinder(r));
    std::memset(r.imei, '8', 64);
    std::string why;
    EXPECT_FALSE(WifiPhoneRecord::fromFinder(r, &why));
    EXPECT_EQ(why, "IMEI longer than a device record holds");
}

TEST(WifiMessageQueue, KeepsOrderAndLeavesTheFrontUntilPopped) {
    WifiMessageQueue queue;
    for (int type = 0; type < 3; ++type) {
        auto message = std::make_shared<tagWifiMessage>();
        message->type = type;
        ASSERT_TRUE(queue.Add(message));
    }
    std::shared_ptr<tagWifiMessage> out;
    ASSERT_TRUE(queue.GetFront(out, 1));
    EXPECT_EQ(out->type, 0);
    ASSERT_TRUE(queue.GetFront(out, 1));
    EXPECT_EQ(out->type, 0) << "still at the front";
    queue.PopFront();
    ASSERT_TRUE(queue.GetFront(out, 0));
    EXPECT_EQ(out->type, 1);
}

TEST(WifiMessageQueue, MisuseAndTimeoutsAreLoggedNeverPrinted) {
    ddtest::InProcessLog log;
    WifiMessageQueue queue;
    std::shared_ptr<tagWifiMessage> out;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(queue.Add(nullptr));
    EXPECT_FALSE(queue.GetFront(out, -1));
    EXPECT_FALSE(queue.GetFront(out, 1));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the host's standard output";
    EXPECT_EQ(log.count("add elements error"), 1u);
    EXPECT_EQ(log.count("Message Array timeout!"), 1u);
    EXPECT_EQ(log.count("Get element timeout!"), 1u);
    EXPECT_EQ(queue.size(), 0u);
}

TEST(WifiMessageQueue, CloseEndsAWaitWithoutLimitAndRefusesMore) {
    WifiMessageQueue queue;
    std::shared_ptr<tagWifiMessage> out;
    bool got = true;
    std::thread waiter([&] { got = queue.GetFront(out, 0); });
    queue.close();
    waiter.join();
    EXPECT_FALSE(got);
    EXPECT_TRUE(queue.closed());
    EXPECT_FALSE(queue.Add(std::make_shared<tagWifiMessage>()));
    queue.open();
    EXPECT_TRUE(queue.Add(std::make_shared<tagWifiMessage>()));
}

TEST(WifiMessageQueue, FullQueueRefusesMore) {
    WifiMessageQueue queue;
    for (size_t i = 0; i < WifiMessageQueue::kMaxMessages; ++i) {
        ASSERT_TRUE(queue.Add(std::make_shared<tagWifiMessage>()));
    }
    EXPECT_FALSE(queue.Add(std::make_shared<tagWifiMessage>()));
}

using qxwifi::DatagramBudget;
using Clock = DatagramBudget::Clock;

TEST(DatagramBudget, AnAddressHasABurstThenARate) {
    DatagramBudget budget;
    Clock::time_point start = Clock::now();
    constexpr uint32_t kOne = 0x0100007f;
    constexpr uint32_t kOther = 0x0200007f;
    int taken = 0;
    while (budget.takeFromSource(kOne, start)) {
        ++taken;
    }
    EXPECT_EQ(taken, static_cast<int>(DatagramBudget::kSourceBurst));
    EXPECT_TRUE(budget.takeFromSource(kOther, start)) << "another address has its own";
    Clock::time_point second = start + std::chrono::seconds(1);
    taken = 0;
    while (budget.takeFromSource(kOne, second)) {
        ++taken;
    }
    EXPECT_EQ(taken, static_cast<int>(DatagramBudget::kSourceRefillPerSecond));
}

TEST(DatagramBudget, SocketIsLeftAloneForTheRestOfASpentWindow) {
    DatagramBudget budget;
    Clock::time_point start = Clock::now();
    for (uint32_t i = 0; i < DatagramBudget::kReadsPerSecond; ++i) {
        ASSERT_TRUE(budget.mayRead(start));
        budget.countRead(start);
    }
    EXPECT_FALSE(budget.mayRead(start + std::chrono::milliseconds(999)));
    EXPECT_EQ(budget.readableAt(), start + std::chrono::seconds(1));
    EXPECT_TRUE(budget.mayRead(budget.readableAt()));
}

TEST(DatagramBudget, ManyAddressesKeepTheTableBounded) {
    DatagramBudget budget;
    Clock::time_point now = Clock::now();
    for (uint32_t address = 1; address <= 3 * DatagramBudget::kMaxSources; ++address) {
        EXPECT_TRUE(budget.takeFromSource(address, now));
    }
    EXPECT_LE(budget.sourceCount(), DatagramBudget::kMaxSources);
}

}  // namespace
