// Wi-Fi phones end to end: simulated phones on their own loopback addresses
// announce themselves to our finder; the module, driven through its C
// interface, reads them and reports them to the host.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "wifi_harness.h"

namespace {

using ddtest::HostRecorder;
using ddtest::Notice;
using ddtest::WifiMachine;
using namespace std::chrono_literals;

// Threads of this process whose name starts with prefix.
size_t threadsNamed(const std::string& prefix) {
    size_t count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name = ddtest::readFile(task.path().string() + "/comm");
        count += name.rfind(prefix, 0) == 0;
    }
    return count;
}

class WifiPhones : public ::testing::Test {
  protected:
    void SetUp() override { machine.start(); }
    WifiMachine machine;
};

TEST_F(WifiPhones, PairedPhoneIsAnnouncedWithItsAddressAndWithdrawnOnDisconnect) {
    auto phone = machine.phone("860000000000201", "WIFI0201");
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    Notice added = machine.host.last(NEW_DEVICE);
    EXPECT_EQ(added.serial, "WIFI0201");
    EXPECT_EQ(added.imei, "860000000000201");
    EXPECT_EQ(added.serverip, phone->address());
    EXPECT_EQ(added.copy.adbdeviceport, 8183u);
    EXPECT_EQ(added.copy.vid, 0x1D45);
    EXPECT_EQ(added.copy.pid, 0x2e76);
    EXPECT_EQ(added.allowwifi, "yes");
    EXPECT_EQ(dd::fieldToUtf8(added.copy.autolaunch), "auto");
    EXPECT_EQ(added.model, "Orq One");

    // A second connect while served starts nothing.
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(machine.sandbox.waitForLog("USB connection already exists! exit."));
    // Only the phone itself can report its disconnect: another sender that
    // names it is not heard.
    auto other = machine.phone("860000000000216", "WIFI0216");
    qxwifi::AnnouncementFields fields;
    fields.imei = "860000000000201";
    ASSERT_TRUE(
        other->sendRaw(qxwifi::formatAnnouncement(qxwifi::AnnouncementEvent::Disconnect, fields)));
    ASSERT_TRUE(machine.sandbox.waitForLog("which is not its address"));
    EXPECT_EQ(machine.host.count(REMOVE_DEVICE), 0u);

    ASSERT_TRUE(phone->disconnect());
    ASSERT_TRUE(machine.host.waitFor(REMOVE_DEVICE));
    EXPECT_EQ(machine.host.last(REMOVE_DEVICE).serial, "WIFI0201");
    EXPECT_TRUE(machine.sandbox.waitForLog("remove wifi dev completed."));
    EXPECT_EQ(machine.host.count(NEW_DEVICE), 1u);
    EXPECT_EQ(machine.host.count(REMOVE_DEVICE), 1u);
}

// An unpaired phone and phones whose key holds request characters are not
// served, nor do their sync reports reach the loader.
TEST_F(WifiPhones, UnpairedPhonesAndUnsafeKeysAreIgnored) {
    std::vector<std::unique_ptr<phonesim::WifiPhone>> ignored;
    ignored.push_back(machine.phone("860000000000202", "WIFI0202", false));
    for (const char* imei : {"8600 01", "8600&x=1", "8600#1", "8600%41", "8600\r\n1"}) {
        ignored.push_back(machine.phone(imei, "WIFI0211"));
    }
    for (auto& phone : ignored) {
        ASSERT_TRUE(phone->connect());
        ASSERT_TRUE(phone->startSync());
    }
    auto ours = machine.phone("860000000000203", "WIFI0203");
    ASSERT_TRUE(ours->connect());  // sent after the others' reports
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    EXPECT_EQ(machine.host.last(NEW_DEVICE).serial, "WIFI0203");
    EXPECT_EQ(machine.host.count(NEW_DEVICE), 1u);
    EXPECT_TRUE(ignored[0]->service().requests().empty()) << "nobody asked the stranger anything";
    EXPECT_TRUE(machine.loaderPaths().empty());
    EXPECT_TRUE(machine.sandbox.logContains("characters a key may not hold"));
}

TEST_F(WifiPhones, SyncRequestsReachTheLoaderWithTheirPaths) {
    auto phone = machine.phone("860000000000204", "WIFI0204");
    auto twin = machine.phone("TWIN0205", "TWIN0205");  // IMEI equals its serial
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(twin->connect());
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE, 2));
    ASSERT_TRUE(phone->startSync());
    ASSERT_TRUE(phone->stopSync());
    ASSERT_TRUE(twin->startSync());
    ASSERT_TRUE(ddtest::waitUntil([&] { return machine.loaderPaths().size() >= 3; }));
    std::vector<std::string> paths = machine.loaderPaths();
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], "/__dispatch__dodevicesync?imei=860000000000204");
    EXPECT_EQ(paths[1], "/__dispatch__canceldevicesync?imei=860000000000204");
    EXPECT_EQ(paths[2], "/__dispatch__dodevicesync?imei=ORQTTWIN0205");
}

TEST(WifiPhonesWithoutLoader, NoLoaderPortSendsNoDispatchRequest) {
    WifiMachine machine;
    machine.setLoaderPort(0);
    machine.start();
    auto phone = machine.phone("860000000000206", "WIFI0206");
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    ASSERT_TRUE(phone->startSync());
    EXPECT_TRUE(machine.sandbox.waitForLog("no loader http port"));
    EXPECT_TRUE(machine.loaderPaths().empty());
}

TEST_F(WifiPhones, HostDisconnectReachesTheWifiPhone) {
    auto phone = machine.phone("860000000000207", "WIFI0207");
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    DeviceRecord record = ddtest::PhoneMachine::recordFor("WIFI0207");
    // The host's calls find the phone by the serial of its record, not its IMEI.
    EXPECT_EQ(machine.module.DeviceReadyToSync(&record), 0);
    EXPECT_EQ(machine.module.DeviceSyncBegin(&record), 0);
    EXPECT_EQ(machine.module.DisconnectDevice(&record), 0);
    ASSERT_TRUE(machine.host.waitFor(REMOVE_DEVICE));
    EXPECT_TRUE(machine.sandbox.waitForLog("CWifiThread_Android::InitInstance()--"));
    EXPECT_EQ(machine.host.count(REMOVE_DEVICE), 1u) << "withdrawn once";
    // The phone announces itself again: it is served afresh.
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE, 2));
}

TEST_F(WifiPhones, PhoneWhoseServiceIsDownIsForgottenAndCanComeBack) {
    auto phone = machine.phone("860000000000209", "WIFI0209");
    phone->stop();
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(machine.sandbox.waitForLog("start client faild"));
    ASSERT_TRUE(machine.sandbox.waitForLog("end notify"));
    ASSERT_TRUE(phone->start());  // possibly on another address
    phone->setFinder("127.0.0.1", machine.finderPort());
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    EXPECT_EQ(machine.host.last(NEW_DEVICE).serverip, phone->address());
}

TEST_F(WifiPhones, ServiceAnsweringAsAnotherPhoneIsNotAnnounced) {
    auto phone = machine.phone("860000000000210", "WIFI0210");
    phonesim::PhoneConfig config = phone->service().config();
    config.serialNumber = "SOMEONEELSE";
    phone->service().setConfig(config);
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(machine.sandbox.waitForLog("do info fail."));
    ASSERT_TRUE(machine.sandbox.waitForLog("release dev record"));
    EXPECT_EQ(machine.host.count(NEW_DEVICE), 0u);
    EXPECT_EQ(machine.host.count(REMOVE_DEVICE), 0u);
}

TEST_F(WifiPhones, StopAndStartLeaveNoThreadAndAnnounceAfresh) {
    auto phone = machine.phone("860000000000213", "WIFI0213");
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(phone->connect());
        ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE, static_cast<size_t>(round)));
        EXPECT_EQ(machine.module.stopDetect(), 0);
        ASSERT_EQ(machine.module.startDetect(), 0);
    }
    EXPECT_EQ(machine.host.count(NEW_DEVICE), 3u);
    // While stopped nothing was sent: the withdrawals were silent.
    EXPECT_EQ(machine.host.count(REMOVE_DEVICE), 0u);
    EXPECT_EQ(threadsNamed("dd-wifi-msg"), 1u) << "one message thread per running bridge";
    EXPECT_EQ(machine.module.stopDetect(), 0);
    // A joined thread may linger in /proc for a moment after its exit.
    EXPECT_TRUE(ddtest::waitUntil([] { return threadsNamed("dd-wifi-msg") == 0; }))
        << "the message thread ends with the stop";
    machine.module.unload();
    EXPECT_TRUE(ddtest::waitUntil([] { return threadsNamed("dd-") == 0; }))
        << "no module thread outlives the module";
}

TEST_F(WifiPhones, FinderLogsBadDatagramsOnceAMinuteWithACountAndGoesOn) {
    auto phone = machine.phone("860000000000214", "WIFI0214");
    const std::string bad[] = {
        "garbage",
        "{\"event\":\"connect\",\"imei\":\"860000000000214\"",  // cut short
        "{\"event\":\"explode\",\"imei\":\"860000000000214\"}",
        std::string(5000, '{'),  // beyond the longest announcement
        std::string("{\"event\":\"connect\",\"imei\":\"8600\0\"}", 33),
    };
    for (const std::string& bytes : bad) {
        ASSERT_TRUE(phone->sendRaw(bytes));
    }
    // Well-formed, from no known phone: logged with its text escaped.
    qxwifi::AnnouncementFields fields;
    fields.imei = "86\n2026-01-01 00:00:00:000 | Crit | forged\x1b[2J\xc2\x9b";
    ASSERT_TRUE(
        phone->sendRaw(qxwifi::formatAnnouncement(qxwifi::AnnouncementEvent::StartSync, fields)));
    ASSERT_TRUE(phone->connect());
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    EXPECT_EQ(ddtest::countOf(machine.sandbox.log(), "QXWIFIFinder: dropped"), 1u)
        << "the first in full, the others counted";
    EXPECT_TRUE(machine.sandbox.logContains("QXWIFIFinder: dropped a datagram from " +
                                            phone->address() + ": not JSON"));
    EXPECT_EQ(machine.host.count(NEW_DEVICE), 1u);
    std::string log = machine.sandbox.log();
    EXPECT_NE(log.find("startsync from unknown phone 86\\x0a2026-01-01 00:00:00:000 | Crit | "
                       "forged\\x1b[2J\\xc2\\x9b at " +
                       phone->address()),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find("\n2026-01-01 00:00:00:000 | Crit | forged"), std::string::npos);
    EXPECT_EQ(machine.module.stopDetect(), 0);
    EXPECT_TRUE(machine.sandbox.logContains(
        "QXWIFIFinder: dropped 4 more datagrams within a minute: malformed or too long"));
}

}  // namespace
