// The information query against the simulated companion service: what the
// phone reports lands in AndroidDeviceInfo, and every bad answer is a clean 0.
#include <gtest/gtest.h>

#include <string>

#include "companion_service.h"
#include "deviceinfo/android_device_info.h"

namespace {

using phonesim::CompanionService;
using phonesim::Fault;
using phonesim::PhoneConfig;

class DeviceInfoQuery : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(service.start()); }
    int query(const std::string& key = "adbserial1") {
        return info.QueryDeviceInfo("127.0.0.1", service.port(), service.port(), key);
    }
    // A document the service encrypts and sends as it is.
    int queryDocument(const std::string& json) {
        PhoneConfig config = service.config();
        config.rawJson = json;
        service.setConfig(config);
        return query();
    }

    CompanionService service;
    AndroidDeviceInfo info;
};

TEST_F(DeviceInfoQuery, FillsEveryFieldFromTheAnswer) {
    PhoneConfig config;
    config.imei = "867530900000042";
    config.model = "Orq Two";
    config.serialNumber = "ORQ2SERIAL";
    config.firmware = "orq_two-user 12 SP1A release-keys";
    config.confPath = "/storage/emulated/0/.orqsync";
    config.installNonMarketApps = "0";
    config.pairedDev = "alice@desk|0a1b2c3d|WD-1234";
    config.battery = 64;
    config.versionCode = 31;
    config.allowWifi = 1;
    config.storageType = 'C';
    config.sdcard->sid = "SD-77";
    config.sdcard->mapLicPath = "/storage/sdcard1/maps";
    service.setConfig(config);

    ASSERT_EQ(query(), 1);
    EXPECT_EQ(info.httpPort, service.port());
    EXPECT_EQ(info.imei, "867530900000042");
    EXPECT_EQ(info.model, "Orq Two");
    EXPECT_EQ(info.serialNumber(), "ORQ2SERIAL");
    EXPECT_EQ(info.firmware, "orq_two-user 12 SP1A release-keys");
    EXPECT_EQ(info.confPath, "/storage/emulated/0/.orqsync");
    EXPECT_EQ(info.installNonMarketApps, "0");
    EXPECT_EQ(info.pairedDev, "alice@desk|0a1b2c3d|WD-1234");
    EXPECT_EQ(info.battery, 64);
    EXPECT_EQ(info.versionCode, 31);
    EXPECT_EQ(info.allowWifi, 1);
    EXPECT_EQ(info.storageType, u'C');
    EXPECT_EQ(info.sdcard.state, "mounted");
    EXPECT_EQ(info.sdcard.path, "/storage/sdcard1");
    EXPECT_EQ(info.sdcard.sid, "SD-77");
    EXPECT_EQ(info.sdcard.mapLicPath, "/storage/sdcard1/maps");
    EXPECT_EQ(info.sdcard.total, 31914983424LL);
    EXPECT_EQ(info.sdcard.free, 1073741824LL);
    EXPECT_EQ(info.emmc.path, "/storage/emulated/0");
    EXPECT_EQ(info.emmc.total, 119185342464LL);
    ASSERT_EQ(service.requests().size(), 1u);
    EXPECT_EQ(service.requests()[0].method, "GET");
    EXPECT_EQ(service.requests()[0].target, "/info/");
}

TEST_F(DeviceInfoQuery, DocumentWithoutStatusCountsAsReady) {
    EXPECT_EQ(queryDocument(R"({"serial_number":"S1","battery":5})"), 1);
    EXPECT_EQ(info.serialNumber(), "S1");
    EXPECT_EQ(info.battery, 5);
}

TEST_F(DeviceInfoQuery, NonZeroStatusFailsButKeepsTheTwoPathFields) {
    info.imei = "before";
    EXPECT_EQ(queryDocument(R"({"status":1,"conf_path":"/sdcard/x","install_non_market_apps":"1",)"
                            R"("telephony":{"imei":"999"}})"),
              0);
    EXPECT_EQ(info.confPath, "/sdcard/x");
    EXPECT_EQ(info.installNonMarketApps, "1");
    EXPECT_EQ(info.imei, "before");
    EXPECT_EQ(info.serialNumber(), "adbserial1");
}

TEST_F(DeviceInfoQuery, SizesBeyond32BitsAreKeptWhole) {
    ASSERT_EQ(
        queryDocument(R"({"status":0,"emmc":{"total":"549755813888","free":"  4294967297xyz"},)"
                      R"("sdcard":{"total":"99999999999999999999999","free":"-5"}})"),
        1);
    EXPECT_EQ(info.emmc.total, 549755813888LL);
    EXPECT_EQ(info.emmc.free, 4294967297LL);
    EXPECT_EQ(info.sdcard.total, INT64_MAX);  // saturates instead of wrapping
    EXPECT_EQ(info.sdcard.free, 0);           // no negative sizes
}

TEST_F(DeviceInfoQuery, AbsentVersionCodeKeepsTheOldValueAndAbsentAllowWifiIsZero) {
    info.versionCode = 17;
    info.allowWifi = 1;
    ASSERT_EQ(queryDocument(R"({"status":0})"), 1);
    EXPECT_EQ(info.versionCode, 17);
    EXPECT_EQ(info.allowWifi, 0);
    ASSERT_EQ(queryDocument(R"({"status":0,"versionCode":null,"allowwifi":3})"), 1);
    EXPECT_EQ(info.versionCode, 17);
    EXPECT_EQ(info.allowWifi, 3);
}

TEST_F(DeviceInfoQuery, AnAnswerWithoutAUsableSerialKeepsTheKey) {
    ASSERT_EQ(queryDocument(R"({"status":0,"telephony":{"imei":"1"}})"), 1);
    EXPECT_EQ(info.serialNumber(), "adbserial1");
    ASSERT_EQ(queryDocument(R"({"status":0,"serial_number":"a/../b"})"), 1);
    EXPECT_EQ(info.serialNumber(), "adbserial1");
    ASSERT_EQ(queryDocument(R"({"status":0,"serial_number":"R58M-40.AB_C:1"})"), 1);
    EXPECT_EQ(info.serialNumber(), "R58M-40.AB_C:1");
}

// The local port serves the loopback host whatever port says; another host
// (127.0.0.2 is loopback too, but not the forwarded-port host) is asked on port.
TEST_F(DeviceInfoQuery, LocalPortServesTheLoopbackHostAndPortAnyOther) {
    EXPECT_EQ(info.QueryDeviceInfo("127.0.0.1", 1, service.port(), "k"), 1);
    EXPECT_EQ(info.QueryDeviceInfo("127.0.0.2", 1, service.port(), "k"), 0);
    EXPECT_EQ(info.httpPort, service.port());
    EXPECT_EQ(service.requestCount(), 1u);
}

TEST_F(DeviceInfoQuery, TextIsCutAtNulAndInvalidUtf8IsReplaced) {
    ASSERT_EQ(queryDocument(
                  "{\"status\":0,\"os\":{\"build\":{\"model\":\"Orq\\u0000hidden\","
                  "\"description\":\"fw\xff\xfe\"}},\"telephony\":{\"imei\":\"\xe6\x89\x8b\"}}"),
              1);
    EXPECT_EQ(info.model, "Orq");
    EXPECT_EQ(info.firmware, "fw\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(info.imei, "\xe6\x89\x8b");
}

TEST_F(DeviceInfoQuery, NumbersWhereTextIsReadGiveTheirText) {
    ASSERT_EQ(queryDocument(R"({"status":0,"telephony":{"imei":860000000000001},)"
                            R"("emmc":{"total":1099511627776}})"),
              1);
    EXPECT_EQ(info.imei, "860000000000001");
    EXPECT_EQ(info.emmc.total, 1099511627776LL);
}

class DeviceInfoQueryWrongTypes : public DeviceInfoQuery,
                                  public ::testing::WithParamInterface<const char*> {};

TEST_P(DeviceInfoQueryWrongTypes, IsAParseFailureThatStoresNothing) {
    info.imei = "before";
    info.battery = 7;
    EXPECT_EQ(queryDocument(GetParam()), 0);
    EXPECT_EQ(info.imei, "before");
    EXPECT_EQ(info.battery, 7);
    EXPECT_EQ(info.serialNumber(), "adbserial1");
}

INSTANTIATE_TEST_SUITE_P(
    Documents, DeviceInfoQueryWrongTypes,
    ::testing::Values(R"({"status":"0"})", R"({"status":[0]})", R"({"status":0,"battery":"full"})",
                      R"({"status":0,"telephony":"860000000000001"})",
                      R"({"status":0,"telephony":{"imei":{"a":1}}})",
                      R"({"status":0,"os":{"build":[1,2]}})", R"({"status":0,"os":7})",
                      R"({"status":0,"versionCode":"25"})", R"({"status":0,"sdcard":"mounted"})",
                      R"({"status":0,"emmc":{"total":{}}})", R"({"status":0,"battery":1e20})",
                      R"({"status":0,"storage_type":4294967295})", R"({"status":{}})",
                      R"([{"status":0}])", R"("status")", R"(null)", R"(42)"));

TEST_F(DeviceInfoQuery, ServiceFaultsAreCleanFailures) {
    // The transport's own faults are the raw client's tests.
    for (Fault fault : {Fault::Garbage, Fault::Oversized, Fault::WrongKey, Fault::WrongTypes}) {
        service.setFault(fault);
        info.imei = "before";
        EXPECT_EQ(query(), 0) << static_cast<int>(fault);
        EXPECT_EQ(info.imei, "before");
    }
}

TEST(DeviceInfoReply, PlainJsonWithoutBase64CharactersIsReadAsItIs) {
    // Not one character of the Base64 alphabet: nothing decodes, so the
    // body itself is the document.
    AndroidDeviceInfo info;
    EXPECT_EQ(info.parseInfoReply("{}"), 1);
    EXPECT_EQ(info.parseInfoReply(R"({"status":0})"), 0);  // letters decode to noise
}

TEST(DeviceInfoReply, OddLengthBase64AndCutCipherTextFailCleanly) {
    AndroidDeviceInfo info;
    std::string sealed = phonesim::sealInfoReply(R"({"status":0,"battery":9})", "wqbelsorn_R8%~;+");
    for (size_t cut = 0; cut <= sealed.size(); ++cut) {
        info.parseInfoReply(sealed.substr(0, cut));  // any result, no crash, no over-read
    }
    EXPECT_EQ(info.parseInfoReply(sealed), 1);
    EXPECT_EQ(info.battery, 9);
}

TEST(DeviceInfoReply, NulByteEndsTheBody) {
    AndroidDeviceInfo info;
    std::string sealed = phonesim::sealInfoReply(R"({"status":0,"battery":9})", "wqbelsorn_R8%~;+");
    EXPECT_EQ(info.parseInfoReply(sealed + std::string(1, '\0') + "garbage"), 1);
    EXPECT_EQ(info.parseInfoReply(sealed.substr(0, 10) + std::string(1, '\0') + sealed.substr(10)),
              0);
}

}  // namespace
