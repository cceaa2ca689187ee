// How devicedetect-host shows Wi-Fi phones and the loader requests it
// receives when it plays the suite loader's HTTP port.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "base/text_codec.h"
#include "deviceinfo/service_requests.h"
#include "events.h"
#include "loader_port.h"
#include "wifi/wifi_harness.h"

namespace {

DeviceRecord phoneRecord(const std::string& serverip) {
    DeviceRecord record{};
    dd::copyToField(record.serialno, "WIFI0901");
    dd::copyToField(record.serverip, serverip);
    record.adbdeviceport = 8183;
    return record;
}

TEST(HostWifi, PhonesBehindANetworkAddressAreMarkedAsWifi) {
    DeviceRecord wifi = phoneRecord("192.168.1.20");
    DeviceRecord usb = phoneRecord("127.0.0.1");
    HostEvent added = eventFromRecord(NEW_DEVICE, &wifi);
    HostEvent removed = eventFromRecord(REMOVE_DEVICE, &wifi);
    HostEvent usbAdded = eventFromRecord(NEW_DEVICE, &usb);
    EXPECT_NE(formatReadable(added).find("ready (wifi)"), std::string::npos);
    EXPECT_NE(formatReadable(removed).find("removed (wifi)"), std::string::npos);
    EXPECT_EQ(formatReadable(usbAdded).find("(wifi)"), std::string::npos);
    EXPECT_NE(formatJson(added).find("\"link\":\"wifi\""), std::string::npos);
    EXPECT_NE(formatJson(usbAdded).find("\"link\":\"usb\""), std::string::npos);
}

TEST(HostWifi, LoaderPortAnswersAndShowsEachDispatchRequest) {
    uint16_t port = 0;
    LoaderPort loader;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> seen;
    // A free port is taken between the probe and the bind now and then.
    for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
        uint16_t candidate = ddtest::freePort(SOCK_DGRAM);
        if (loader.start(candidate, [&](const std::string& method, const std::string& target) {
                std::lock_guard<std::mutex> lock(mutex);
                seen.push_back(method + " " + target);
                changed.notify_all();
            })) {
            port = candidate;
        }
    }
    ASSERT_NE(port, 0);
    ServiceEndpoint endpoint("127.0.0.1", port);
    std::string answer;
    EXPECT_EQ(endpoint.GetRequest("/__dispatch__dodevicesync?imei=8600", "", &answer),
              ServiceResult::Ok);
    EXPECT_EQ(answer, "{\"status\":0}");
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return !seen.empty(); }));
        EXPECT_EQ(seen.front(), "GET /__dispatch__dodevicesync?imei=8600");
    }
    HostEvent event;
    event.kind = HostEvent::Kind::LoaderRequest;
    event.device = "GET /__dispatch__dodevicesync?imei=8600\x1b[2J";
    EXPECT_NE(formatReadable(event).find("LOADER REQUEST  GET /__dispatch__dodevicesync"),
              std::string::npos);
    EXPECT_EQ(formatReadable(event).find('\x1b'), std::string::npos);
    EXPECT_NE(formatJson(event).find("\"event\":\"LOADER_REQUEST\""), std::string::npos);
    loader.stop();
}

}  // namespace
