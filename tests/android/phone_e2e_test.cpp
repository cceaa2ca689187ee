// A USB Android phone from plug to unplug, through the C interface, against
// whole simulated phones: fake USB device, emulated adb, companion service
// and sync tool.
#include <gtest/gtest.h>

#include "phone_harness.h"

namespace {

using ddtest::PhoneMachine;
using phonesim::SimPhoneSpec;

SimPhoneSpec phone(const std::string& serial, const std::string& port = "1-1") {
    SimPhoneSpec spec = ddtest::simPhone(serial, port);
    spec.service.model = "Pixel 7";
    return spec;
}

class PhoneJourney : public ::testing::Test, public PhoneMachine {};

// Its storage shared with this PC is unmounted before the announcement.
TEST_F(PhoneJourney, PlugAnnouncesAReadyPhoneAndUnplugRemovesIt) {
    start();
    SimPhoneSpec spec = phone("R58M40ABCDE");
    spec.service.sdcard->state = "shared";
    ASSERT_NE(machine.plug(spec), nullptr);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    EXPECT_TRUE(sandbox.logContains("Storage status is normal."));
    EXPECT_TRUE(sandbox.logContains("[DETECT] storage shared with this PC, unmount ret"));
    ddtest::Notice discovered = host.last(DEVICE_DISCOVERED);
    EXPECT_EQ(discovered.serial, "R58M40ABCDE");
    EXPECT_EQ(discovered.model, "Pixel 7");
    EXPECT_EQ(discovered.copy.vid, 0x18d1);
    EXPECT_EQ(discovered.copy.pid, 0x4ee7);

    ddtest::Notice ready = host.last(NEW_DEVICE);
    EXPECT_EQ(ready.serial, "R58M40ABCDE");
    EXPECT_EQ(ready.imei, "356938035643809");
    EXPECT_EQ(ready.serverip, "127.0.0.1");
    EXPECT_NE(ready.copy.adbdeviceport, 0u);
    EXPECT_EQ(ready.cardcount, 2u);
    EXPECT_EQ(ready.copy.sdk, 33u);
    EXPECT_EQ(ready.copy.factoryreset, 1u) << "a phone without a marker is not paired yet";
    EXPECT_EQ(dd::fieldToUtf8(ready.record->cards[1].path), "/storage/emulated/0")
        << "the NEW_DEVICE record stays valid until its REMOVE_DEVICE";
    // The module wrote this PC's marker to the phone and remembered it.
    EXPECT_TRUE(machine.phone("R58M40ABCDE")->service().file("/sdcard/.orqsync/android.dat"));
    EXPECT_NE(
        ddtest::readFile(sandbox.dataDir() + "/remembereddevice.ini").find("R58M40ABCDE=65535"),
        std::string::npos);

    // "device" in adb at once: neither held up nor reported waiting.
    EXPECT_EQ(host.count(DRIVER_INSTALLING), 0u);
    EXPECT_EQ(machine.adb().trackers(), 1) << "one device-list connection for the module";

    ASSERT_TRUE(machine.unplug("R58M40ABCDE"));
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE));
    EXPECT_EQ(host.last(REMOVE_DEVICE).record, ready.record) << "the same pointer as NEW_DEVICE";
    EXPECT_TRUE(sandbox.waitForLog("CUsbDeviceThread_Android::InitInstance() --"));
    EXPECT_EQ(host.count(NEW_DEVICE), 1u);
    EXPECT_EQ(host.count(REMOVE_DEVICE), 1u);
}

// A missing or outdated companion service is installed before the
// announcement.
TEST_F(PhoneJourney, MissingOrOutdatedServiceIsInstalledFirst) {
    start();
    SimPhoneSpec missing = phone("NOSERVICE1");
    missing.serviceInstalled = false;
    SimPhoneSpec outdated = phone("OLDSERVICE", "1-2");
    outdated.service.versionCode = kServiceVersion - 1;
    ASSERT_NE(machine.plug(missing), nullptr);
    ASSERT_NE(machine.plug(outdated), nullptr);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE, 2));
    EXPECT_TRUE(sandbox.logContains("[DETECT] version need update"));
    std::string log = sandbox.log();
    EXPECT_NE(log.find("[DETECT] install apk successed."),
              log.rfind("[DETECT] install apk successed."))
        << "one install for each phone";
    for (const char* serial : {"NOSERVICE1", "OLDSERVICE"}) {
        EXPECT_EQ(machine.adb().phone(serial)->packages().count("com.qx.httpd"), 1u) << serial;
    }
}

TEST_F(PhoneJourney, HostDisconnectSendsRemoveOnTheCallersThread) {
    start();
    ASSERT_NE(machine.plug(phone("DISC0001")), nullptr);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    DeviceRecord record = recordFor("disc0001");  // the match ignores case
    host.markCallerThread();
    EXPECT_EQ(module.DisconnectDevice(&record), 0);
    ASSERT_EQ(host.count(REMOVE_DEVICE), 1u) << "sent before QX_DisconnectDevice returned";
    EXPECT_TRUE(host.last(REMOVE_DEVICE).onCallerThread);
    // The thread runs on in state 2: the phone is still plugged.
    EXPECT_EQ(module.DeviceReadyToSync(&record), 0);
    ASSERT_TRUE(machine.unplug("DISC0001"));
    EXPECT_TRUE(sandbox.waitForLog("CUsbDeviceThread_Android::InitInstance() --"));
    EXPECT_EQ(host.count(REMOVE_DEVICE), 1u) << "the unplug does not withdraw the phone again";
}

// Each stage's unplug: the thread ends through its exit stage with only the
// notices the phone had earned, and the module goes on serving others.
struct StageCase {
    const char* name;
    void (*shape)(SimPhoneSpec&);
    const char* reachedLine;  // the phone is unplugged once this is logged
    size_t discovered;        // DEVICE_DISCOVERED expected
    size_t removed;           // REMOVE_DEVICE expected
};

class StageUnplug : public PhoneJourney, public ::testing::WithParamInterface<StageCase> {};

TEST_P(StageUnplug, EndsCleanlyAndKeepsServingOthers) {
    const StageCase& c = GetParam();
    start();
    SimPhoneSpec spec = phone("STAGE001");
    c.shape(spec);
    ASSERT_NE(machine.plug(spec), nullptr);
    ASSERT_TRUE(sandbox.waitForLog(c.reachedLine));
    ASSERT_TRUE(machine.unplug("STAGE001"));
    ASSERT_TRUE(sandbox.waitForLog("CUsbDeviceThread_Android::InitInstance() --"));
    EXPECT_EQ(host.count(DEVICE_DISCOVERED), c.discovered);
    EXPECT_EQ(host.count(REMOVE_DEVICE), c.removed);
    EXPECT_EQ(host.count(NEW_DEVICE), 0u);

    ASSERT_NE(machine.plug(phone("NEXT0001", "1-2")), nullptr);
    EXPECT_TRUE(host.waitFor(NEW_DEVICE));
}

INSTANTIATE_TEST_SUITE_P(
    EachStage, StageUnplug,
    ::testing::Values(
        StageCase{"DriverInstalling", [](SimPhoneSpec& s) { s.deviceNode = false; },
                  "WaitDriverInstalled result = 1", 0, 0},
        StageCase{"SlowBoot", [](SimPhoneSpec& s) { s.bootDelay = std::chrono::seconds(30); },
                  "[DETECT] getprop done.", 0, 0},
        StageCase{"SyncToolNeverListens", [](SimPhoneSpec& s) { s.syncToolListens = false; },
                  "wait 7890", 0, 0},
        StageCase{"ServiceNeverAnswers", [](SimPhoneSpec& s) { s.service.status = 1; },
                  "[DETECT] doinfo", 1, 1}),
    [](const ::testing::TestParamInfo<StageCase>& info) { return info.param.name; });

TEST_F(PhoneJourney, DriverInstallingIsAnnouncedOnceThenThePhoneGoesOn) {
    start();
    SimPhoneSpec spec = phone("DRIVER01");
    spec.deviceNode = false;
    ASSERT_NE(machine.plug(spec), nullptr);
    ASSERT_TRUE(host.waitFor(DRIVER_INSTALLING));
    EXPECT_EQ(host.last(DRIVER_INSTALLING).serial, "DRIVER01");
    ASSERT_TRUE(machine.finishDriver("DRIVER01"));
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    EXPECT_EQ(host.count(DRIVER_INSTALLING), 1u);
}

// The host and the phone synchronising: ready, begin, the phone's ";START",
// end, the phone's ";STOP", and at last its "STOP_APP".
TEST_F(PhoneJourney, HostDrivenSyncRoundTrip) {
    start();
    phonesim::SimPhone* sim = machine.plug(phone("SYNC0001"));
    ASSERT_NE(sim, nullptr);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    ASSERT_TRUE(sim->syncTool().waitForSyncLink(1, std::chrono::seconds(10)));

    DeviceRecord record = recordFor("SYNC0001");
    ASSERT_EQ(module.DeviceReadyToSync(&record), 0);
    EXPECT_TRUE(sim->syncTool().waitForSyncReceived("READY_TO_SYNC\r\n", std::chrono::seconds(5)));
    ASSERT_TRUE(sim->syncTool().sendStart("SYNC0001"));
    ASSERT_TRUE(host.waitForSync(1));
    ASSERT_EQ(module.DeviceSyncBegin(&record), 0);
    EXPECT_TRUE(sim->syncTool().waitForSyncReceived("SYNC_STARTED\r\n", std::chrono::seconds(5)));

    DeviceRecord ready = host.last(NEW_DEVICE).copy;
    ready.cards = nullptr;
    EXPECT_EQ(module.DeviceSyncEnd(&ready), 0);
    EXPECT_EQ(sim->service().syncEndCount(), 1u);
    ASSERT_TRUE(sim->syncTool().sendStop("SYNC0001"));
    ASSERT_TRUE(host.waitForSync(2));
    std::vector<ddtest::SyncRequest> syncs = host.syncs();
    EXPECT_EQ(syncs[0].text, "SYNC0001");
    EXPECT_EQ(syncs[0].action, START_SYNC);
    EXPECT_EQ(syncs[1].action, STOP_SYNC);

    // "STOP_APP" ends the phone's whole connection: the host hears REMOVE_DEVICE.
    ASSERT_TRUE(sim->syncTool().sendStopApp());
    ASSERT_TRUE(host.waitFor(REMOVE_DEVICE));
    EXPECT_TRUE(sandbox.waitForLog("CUsbDeviceThread_Android::InitInstance() --"));
}

// A lost command link while the phone stays plugged: the thread reconnects
// and the phone's next answer announces it again only if it was removed.
TEST_F(PhoneJourney, DroppedCommandLinkReconnects) {
    start();
    phonesim::SimPhone* sim = machine.plug(phone("DROP0001"));
    ASSERT_NE(sim, nullptr);
    ASSERT_TRUE(host.waitFor(NEW_DEVICE));
    int before = sim->syncTool().commandConnections();
    sim->syncTool().dropCommandLinks();
    EXPECT_TRUE(ddtest::waitUntil([&] { return sim->syncTool().commandConnections() > before; },
                                  std::chrono::seconds(15)));
    EXPECT_EQ(host.count(REMOVE_DEVICE), 0u);
    EXPECT_EQ(host.count(NEW_DEVICE), 1u) << "announced once until a REMOVE_DEVICE";
}

// A host that registered no callback: the phone is still taken through every
// stage and released, and nothing is sent.
TEST_F(PhoneJourney, NoCallbackRegistered) {
    ASSERT_TRUE(module.ok());
    ASSERT_EQ(module.InitDetect(), 0);
    ASSERT_EQ(module.startDetect(), 0);
    ASSERT_NE(machine.plug(phone("NOCB0001")), nullptr);
    ASSERT_TRUE(sandbox.waitForLog("[DETECT] device is connected."));
    EXPECT_TRUE(sandbox.logContains("theApp.deviceCB is nil"));
    ASSERT_TRUE(machine.unplug("NOCB0001"));
    EXPECT_TRUE(sandbox.waitForLog("CUsbDeviceThread_Android::InitInstance() --"));
    EXPECT_TRUE(host.notices().empty());
}

}  // namespace
