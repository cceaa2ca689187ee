// The module against a finder that is not ours: a test double with the same
// nine entry points, whose reports the test makes on its own thread. The
// double frees and scribbles over every record once a callback returns.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "wifi_harness.h"

namespace {

using ddtest::WifiMachine;

// The double's controls, reached through the file the module loaded.
class DoubleControls {
  public:
    explicit DoubleControls(const std::string& moduleDir) {
        m_handle = dlopen((moduleDir + "/libQXWIFIFinder.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(m_handle, nullptr) << dlerror();
        ddtest::bindSymbol(m_handle, emit, "FinderDouble_Emit");
        ddtest::bindSymbol(m_handle, emitSync, "FinderDouble_EmitSync");
        ddtest::bindSymbol(m_handle, setStartClientResult, "FinderDouble_SetStartClientResult");
        ddtest::bindSymbol(m_handle, calls, "FinderDouble_Calls");
        ddtest::bindSymbol(m_handle, lastClient, "FinderDouble_LastClient");
        ddtest::bindSymbol(m_handle, lastStatus, "FinderDouble_LastStatus");
        ddtest::bindSymbol(m_handle, running, "FinderDouble_Running");
    }
    ~DoubleControls() {
        if (m_handle != nullptr) {
            setStartClientResult(1);
            dlclose(m_handle);
        }
    }

    int32_t (*emit)(const WifiDevRecord*, int32_t) = nullptr;
    int32_t (*emitSync)(const WifiDevRecord*, int32_t) = nullptr;
    void (*setStartClientResult)(int32_t) = nullptr;
    int32_t (*calls)(const char*) = nullptr;
    void (*lastClient)(WifiDevRecord*) = nullptr;
    int32_t (*lastStatus)() = nullptr;
    int32_t (*running)() = nullptr;

  private:
    void* m_handle = nullptr;
};

using qxwifi::setField;

class ForeignFinder : public ::testing::Test {
  protected:
    WifiMachine machine{"complete"};
    std::unique_ptr<DoubleControls> finder;

    void SetUp() override {
        machine.start();
        finder = std::make_unique<DoubleControls>(machine.sandbox.moduleDir);
    }
    // A record of a phone served by a simulated companion service.
    WifiDevRecord record(const phonesim::WifiPhone& phone, const std::string& port = "8182") {
        WifiDevRecord r{};
        setField(r.imei, phone.spec().imei);
        setField(r.serial, phone.spec().serial);
        setField(r.model, "Foreign Model");
        setField(r.version, "9");
        setField(r.sdk, "28");
        setField(r.brand, "Elsewhere");
        setField(r.ip, phone.address());
        setField(r.port, port);
        setField(r.paired, machine.pcIdentity);
        return r;
    }
};

TEST_F(ForeignFinder, ConnectReachesStartClientWithTheServicePortAndAnnouncesTheRecord) {
    auto phone = machine.phone("860000000000301", "FOREIGN1");
    WifiDevRecord r = record(*phone, "8182");
    // Disconnected before it connected: not listed, only logged.
    ASSERT_EQ(finder->emit(&r, WIFI_DISCONNECT), 1) << "paired: queued";
    ASSERT_TRUE(machine.sandbox.waitForLog("dev not exist list"));
    EXPECT_EQ(finder->emit(&r, WIFI_CONNECT), 1);
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    WifiDevRecord client{};
    finder->lastClient(&client);
    EXPECT_STREQ(client.port, "8183") << "the bridge replaces the announced port";
    EXPECT_STREQ(client.imei, "860000000000301");
    ddtest::Notice added = machine.host.last(NEW_DEVICE);
    EXPECT_EQ(added.serverip, phone->address()) << "unchanged by the finder's scribbles";
    EXPECT_EQ(added.copy.adbdeviceport, 8183u);
    EXPECT_EQ(added.copy.pid, 0u) << "an empty product id is 0";
    EXPECT_EQ(added.model, "Foreign Model");
    EXPECT_EQ(added.copy.sdk, 28u);
    EXPECT_EQ(dd::fieldToUtf8(added.copy.autolaunch), "manual");

    EXPECT_EQ(finder->emit(&r, WIFI_DISCONNECT), 1);
    ASSERT_TRUE(machine.host.waitFor(REMOVE_DEVICE));
    EXPECT_TRUE(machine.sandbox.waitForLog("remove wifi dev completed."));
    EXPECT_EQ(machine.host.count(REMOVE_DEVICE), 1u);
}

TEST_F(ForeignFinder, SyncReportsAndCallbacksMakeTheRightLoaderRequests) {
    auto phone = machine.phone("860000000000302", "FOREIGN2");
    auto twin = machine.phone("TWIN000303", "TWIN000303");
    WifiDevRecord r = record(*phone);
    WifiDevRecord t = record(*twin);
    ASSERT_EQ(finder->emit(&r, WIFI_CONNECT), 1);
    ASSERT_EQ(finder->emit(&t, WIFI_CONNECT), 1);
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE, 2));
    ASSERT_EQ(finder->emit(&t, WIFI_STOP_SYNC), 1);
    ASSERT_EQ(finder->emit(&r, 7), 1) << "an unknown code is queued, then ignored";
    finder->emitSync(&r, WIFI_SYNC_START);
    finder->emitSync(&t, WIFI_SYNC_CANCEL);
    finder->emitSync(&r, WIFI_SYNC_GONE);
    finder->emitSync(&r, 42);
    ASSERT_TRUE(ddtest::waitUntil([&] { return machine.loaderPaths().size() >= 3; }));
    ASSERT_TRUE(machine.sandbox.waitForLog("unknown wifi sync action 42"));
    // The queued report and the callbacks run on different threads: their
    // requests may come in either order.
    std::vector<std::string> paths = machine.loaderPaths("/");
    std::sort(paths.begin(), paths.end());
    ASSERT_EQ(paths.size(), 3u) << "no request without a path";
    EXPECT_EQ(paths[0], "/__dispatch__canceldevicesync?imei=ORQTTWIN000303");
    EXPECT_EQ(paths[1], "/__dispatch__canceldevicesync?imei=TWIN000303")
        << "the sync callback's key never carries the prefix";
    EXPECT_EQ(paths[2], "/__dispatch__dodevicesync?imei=860000000000302");
}

TEST_F(ForeignFinder, StartClientFailureForgetsThePhone) {
    auto phone = machine.phone("860000000000304", "FOREIGN4");
    finder->setStartClientResult(0);
    int32_t removedBefore = finder->calls("RemoveDev");
    WifiDevRecord r = record(*phone);
    ASSERT_EQ(finder->emit(&r, WIFI_CONNECT), 1);
    ASSERT_TRUE(machine.sandbox.waitForLog("end notify"));
    EXPECT_EQ(finder->calls("RemoveDev"), removedBefore + 1);
    finder->setStartClientResult(1);
    // Forgotten: the next report starts afresh.
    ASSERT_EQ(finder->emit(&r, WIFI_CONNECT), 1);
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
}

TEST_F(ForeignFinder, UnterminatedAndMalformedRecordsAreReadWithinTheirRooms) {
    auto phone = machine.phone("860000000000306", "FOREIGN6");
    WifiDevRecord r = record(*phone);
    std::memset(r.model, 'M', sizeof(r.model));      // no NUL anywhere in the model
    std::memset(r.version, '9', sizeof(r.version));  // nor in the version
    ASSERT_EQ(finder->emit(&r, WIFI_CONNECT), 1);
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    EXPECT_EQ(machine.host.last(NEW_DEVICE).model.size(), 63u) << "cut to the host's field";

    WifiDevRecord bad = record(*phone);
    std::memset(bad.imei, '7', sizeof(bad.imei));  // 128 digits, no NUL
    std::memset(bad.serial, 'S', sizeof(bad.serial));
    setField(bad.ip, "not-an-address");
    EXPECT_EQ(finder->emit(&bad, WIFI_CONNECT), 0);
    WifiDevRecord empty{};
    EXPECT_EQ(finder->emit(&empty, WIFI_CONNECT), 0);
    EXPECT_EQ(finder->emit(nullptr, WIFI_CONNECT), 0);
    finder->emitSync(nullptr, WIFI_SYNC_START);
    EXPECT_EQ(machine.host.count(NEW_DEVICE), 1u);
}

TEST_F(ForeignFinder, HostCallsReachTheFinderAndLateReportsAreDropped) {
    auto phone = machine.phone("860000000000307", "FOREIGN7");
    WifiDevRecord r = record(*phone);
    ASSERT_EQ(finder->emit(&r, WIFI_CONNECT), 1);
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    DeviceRecord host = ddtest::PhoneMachine::recordFor("FOREIGN7");
    int32_t statusCalls = finder->calls("SetDevStatus");
    EXPECT_EQ(machine.module.DisconnectDevice(&host), 0);
    ASSERT_TRUE(machine.host.waitFor(REMOVE_DEVICE));
    EXPECT_EQ(finder->calls("SetDevStatus"), statusCalls + 1);
    EXPECT_EQ(finder->lastStatus(), 3) << "the finder learns that the connection ended";

    EXPECT_EQ(machine.module.stopDetect(), 0);
    EXPECT_EQ(finder->running(), 0);
    EXPECT_EQ(finder->emit(&r, WIFI_CONNECT), 0) << "a report after StopDetect";
    finder->emitSync(&r, WIFI_SYNC_START);
    EXPECT_TRUE(machine.loaderPaths().empty());
}

TEST_F(ForeignFinder, StormOfReportsIsHandledWithoutBlockingTheFinder) {
    auto phone = machine.phone("860000000000308", "FOREIGN8");
    WifiDevRecord r = record(*phone);
    for (int i = 0; i < 2000; ++i) {
        finder->emit(&r, i % 2 == 0 ? WIFI_CONNECT : WIFI_DISCONNECT);
    }
    ASSERT_EQ(finder->emit(&r, WIFI_CONNECT), 1);
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    ASSERT_TRUE(ddtest::waitUntil(
        [&] { return machine.host.count(NEW_DEVICE) == machine.host.count(REMOVE_DEVICE) + 1; }));
    EXPECT_EQ(finder->emit(&r, WIFI_DISCONNECT), 1);
    ASSERT_TRUE(ddtest::waitUntil(
        [&] { return machine.host.count(NEW_DEVICE) == machine.host.count(REMOVE_DEVICE); }));
}

TEST_F(ForeignFinder, AnAddressServesOnePhoneAtATime) {
    // One service answers for whatever phone is asked about at its address.
    auto phone = machine.phone("860000000000309", "");
    phonesim::PhoneConfig config = phone->service().config();
    config.serialNumber = "";
    config.imei = "";
    phone->service().setConfig(config);
    WifiDevRecord first = record(*phone);
    WifiDevRecord second = record(*phone);
    setField(second.imei, "860000000000310");
    int32_t removedBefore = finder->calls("RemoveDev");
    ASSERT_EQ(finder->emit(&first, WIFI_CONNECT), 1);
    ASSERT_EQ(finder->emit(&second, WIFI_CONNECT), 1);
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE));
    ASSERT_TRUE(
        machine.sandbox.waitForLog("not served: its address serves 860000000000309 already"));
    EXPECT_EQ(finder->calls("RemoveDev"), removedBefore + 1) << "the finder is told to forget it";
    EXPECT_EQ(machine.host.count(NEW_DEVICE), 1u);

    ASSERT_EQ(finder->emit(&first, WIFI_DISCONNECT), 1);
    ASSERT_TRUE(machine.host.waitFor(REMOVE_DEVICE));
    ASSERT_EQ(finder->emit(&second, WIFI_CONNECT), 1);
    ASSERT_TRUE(machine.host.waitFor(NEW_DEVICE, 2)) << "the address is free again";
    EXPECT_EQ(machine.host.last(NEW_DEVICE).serial, "860000000000310");
}

class IncompleteFinder : public ::testing::Test {
  protected:
    WifiMachine machine{"incomplete"};
};

TEST_F(IncompleteFinder, WifiIsOffAndUsbGoesOn) {
    machine.start();
    EXPECT_TRUE(machine.sandbox.waitForLog("wifi finder lacks the entry point StartHttpServer"));
    EXPECT_TRUE(machine.sandbox.logContains("wifi module initialize faild."));
    EXPECT_TRUE(machine.sandbox.waitForLog("CUsbDetect::usbGetDeviceThread() ++"));
    EXPECT_EQ(machine.module.stopDetect(), 0);
}

}  // namespace
