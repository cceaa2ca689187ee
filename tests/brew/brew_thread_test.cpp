// BREW phones end to end with detection running in-process: plugged into a
// fake USB tree as simulated phones on pseudo-terminals, interrogated,
// (re-)registered and recorded in the detected-device store, and removed
// from it when they leave.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "android/pc_identity.h"
#include "brew/usb_device_thread_bmp.h"
#include "brew_phone.h"
#include "core/device_detect_app.h"
#include "deviceinfo/xml_helper.h"
#include "fake_usb_tree.h"
#include "platform/ini_file.h"
#include "test_env.h"

namespace {

using namespace std::string_literals;
using phonesim::BrewPhone;
using phonesim::BrewPhoneSpec;

struct StoreEntry {
    std::map<std::string, std::string> attributes;
    std::map<std::string, std::string> children;  // element name -> text
    std::string batteryLevel;
};

class BrewThreads : public ::testing::Test {
  protected:
    ddtest::Sandbox sandbox;
    phonesim::FakeUsbTree tree{sandbox.sysfsRoot, sandbox.devRoot};
    std::string key;

    void SetUp() override {
        theApp.readLoaderConfig();
        ASSERT_EQ(theApp.prepareDetect(), 0);
        key = dd::android::shortPcIdentity();
        ASSERT_FALSE(key.empty());
        theApp.startDetect();
    }
    void TearDown() override {
        theApp.stopDetect();
        theApp.waitForDetectionEnd();
    }

    std::string storeFile() const { return sandbox.dataDir() + "/xml/detecteddevice.xml"; }

    std::vector<StoreEntry> entries() const {
        std::vector<StoreEntry> found;
        CXmlHelper doc;
        if (doc.LoadFromFile(storeFile()) != CXmlHelper::kOk ||
            doc.root().name() != "detecteddevice") {
            return found;
        }
        for (const CXmlNode& device : doc.root().children("device")) {
            StoreEntry entry;
            for (const auto& [name, value] : device.attributes()) {
                entry.attributes[name] = value;
            }
            for (const CXmlNode& child : device.children()) {
                entry.children[child.name()] = child.text();
            }
            entry.batteryLevel = device.child("battery").attribute("level");
            found.push_back(entry);
        }
        return found;
    }
    std::optional<StoreEntry> entry(const std::string& imei) const {
        for (const StoreEntry& e : entries()) {
            if (e.attributes.count("imei") != 0 && e.attributes.at("imei") == imei) {
                return e;
            }
        }
        return std::nullopt;
    }
    std::optional<StoreEntry> waitForEntry(const std::string& imei) const {
        std::optional<StoreEntry> found;
        ddtest::waitUntil([&] { return (found = entry(imei)).has_value(); },
                          std::chrono::seconds(20));
        return found;
    }
    std::unique_ptr<BrewPhone> plug(BrewPhoneSpec spec) {
        auto phone = std::make_unique<BrewPhone>(std::move(spec));
        EXPECT_TRUE(phone->plug(tree));
        return phone;
    }
    BrewPhoneSpec phoneSpec(const std::string& port, const std::string& imei,
                            const std::string& syncSvr, const std::string& syncSetting) {
        BrewPhoneSpec spec;
        spec.port = port;
        spec.imei = imei;
        spec.syncSvr = syncSvr;
        spec.syncSetting = syncSetting;
        return spec;
    }
    std::string remembered(const std::string& imei) const {
        return dd::platform::readIniString(sandbox.dataDir() + "/remembereddevice.ini", "imei",
                                           imei, "");
    }
};

TEST_F(BrewThreads, AKnownPhoneIsRecordedWithEveryAttributeAndNotWrittenTo) {
    auto phone =
        plug(phoneSpec("1-1", "356938035643809", "other@PC\0"s + key + "\0"s, "other@PC," + key));
    std::optional<StoreEntry> found = waitForEntry("356938035643809");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->attributes["devicetype"], "bmp");
    EXPECT_EQ(found->attributes["model"], "Orq Classic");
    EXPECT_EQ(found->attributes["commport"], phone->tty());
    EXPECT_EQ(found->attributes["vid"], "05c6");
    EXPECT_EQ(found->attributes["pid"], "3197");
    EXPECT_EQ(found->children["factoryreset"], "");
    EXPECT_EQ(found->children["image"], "") << "no picture of the model";
    EXPECT_EQ(found->children["dll"], "");
    EXPECT_EQ(found->children["firmware"], "BREW 3.1.5 Q6085");
    EXPECT_EQ(found->batteryLevel, "80");
    EXPECT_EQ(phone->syncSvrWrites(), 0);
    EXPECT_EQ(phone->syncSettingWrites(), 0);
    EXPECT_EQ(remembered("356938035643809"), "");
    auto threads = theApp.deviceThreads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_TRUE(threads[0]->m_csSerialNum.matches("356938035643809"));
    EXPECT_EQ(theApp.m_lConnectCount.load(), 1);
}

// A phone that names this PC in either list is left as it is; one that does
// not (or lists nothing) gets this PC alone, and is recorded as reset.
TEST_F(BrewThreads, APhoneIsRegisteredAgainOnlyWhenItForgotThisPc) {
    struct Case {
        std::string imei, syncSvr, syncSetting, factoryReset, svrAfter, settingAfter;
        int writes;
    } cases[] = {
        {"111111111111111", key + "\0"s, "other@PC", "", key + "\0"s, "other@PC", 0},
        {"222222222222222", "other@PC\0"s, key, "", "other@PC\0"s, key, 0},
        // The earlier names are not kept.
        {"333333333333333", "other@PC\0"s, "other@PC,third@PC", "1", key + "\0\0"s, key, 1},
        {"444444444444444", "", "", "1", key + "\0\0"s, key + ",", 1},
    };
    std::vector<std::unique_ptr<BrewPhone>> phones;
    for (const Case& c : cases) {
        phones.push_back(plug(
            phoneSpec("1-" + std::to_string(phones.size() + 1), c.imei, c.syncSvr, c.syncSetting)));
    }
    for (size_t i = 0; i < phones.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.imei);
        std::optional<StoreEntry> found = waitForEntry(c.imei);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->children["factoryreset"], c.factoryReset);
        EXPECT_EQ(phones[i]->syncSvr(), c.svrAfter);
        EXPECT_EQ(phones[i]->syncSetting(), c.settingAfter);
        EXPECT_EQ(phones[i]->syncSvrWrites(), c.writes);
        EXPECT_EQ(phones[i]->syncSettingWrites(), c.writes);
        EXPECT_EQ(remembered(c.imei), c.writes != 0 ? "65535" : "");
    }
    EXPECT_EQ(entries().size(), 4u) << "phones at once keep every entry";
    EXPECT_TRUE(sandbox.logContains("factoryReset1"));
    EXPECT_TRUE(sandbox.logContains("bFactoryReset"));
}

// Only the model's own picture in the module's data folder is named.
TEST_F(BrewThreads, TheModelsPictureIsNamedAndAHostileModelNamesNone) {
    ddtest::makeDirs(sandbox.moduleDir + "/data");
    ddtest::writeFile(sandbox.moduleDir + "/data/Orq Classic.png", "png");
    ddtest::writeFile(sandbox.moduleDir + "/secret.png", "png");
    auto phone = plug(phoneSpec("1-1", "555555555555555", key + "\0"s, key));
    BrewPhoneSpec spec = phoneSpec("1-2", "999999999999999", key + "\0"s, key);
    spec.model = "../secret";
    auto hostile = plug(spec);
    std::optional<StoreEntry> found = waitForEntry("555555555555555");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->children["image"], sandbox.moduleDir + "/data/Orq Classic.png");
    found = waitForEntry("999999999999999");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->attributes["model"], "../secret");
    EXPECT_EQ(found->children["image"], "");
}

TEST_F(BrewThreads, UnpluggingEndsTheThreadAndRemovesItsEntry) {
    auto stays = plug(phoneSpec("1-2", "777777777777777", key + "\0"s, key));
    auto leaves = plug(phoneSpec("1-1", "666666666666666", key + "\0"s, key));
    ASSERT_TRUE(waitForEntry("666666666666666"));
    ASSERT_TRUE(waitForEntry("777777777777777"));
    leaves->unplug();
    ASSERT_TRUE(ddtest::waitUntil([&] { return theApp.deviceThreads().size() == 1; },
                                  std::chrono::seconds(10)));
    EXPECT_FALSE(entry("666666666666666"));
    EXPECT_TRUE(entry("777777777777777")) << "the other phone's entry stays";
    EXPECT_EQ(theApp.m_lConnectCount.load(), 1) << "the place is given back exactly once";
    stays->unplug();
    ASSERT_TRUE(ddtest::waitUntil([&] { return theApp.deviceThreads().empty(); }));
    EXPECT_EQ(theApp.m_lConnectCount.load(), 0);
    EXPECT_TRUE(entries().empty());
}

TEST_F(BrewThreads, AHostileImeiLeavesEveryOtherFileAndEntryAsItWas) {
    auto honest = plug(phoneSpec("1-1", "888888888888888", key + "\0"s, key));
    ASSERT_TRUE(waitForEntry("888888888888888"));
    ddtest::writeFile(sandbox.dataDir() + "/victim.xml", "keep");
    ddtest::writeFile(sandbox.dataHome + "/configvictim.xml", "keep");
    std::string storeBefore = ddtest::readFile(storeFile());

    BrewPhoneSpec spec = phoneSpec("1-2", "x", "", "");
    BrewPhone hostile(spec);
    hostile.setDetectReply(
        "DetectPhone OK\r\nModelName:../../../victim\r\n"
        "IMEI:/../victim' or @imei='888888888888888\r\n<EndTag0x0d0c0f>");
    ASSERT_TRUE(hostile.plug(tree));
    ASSERT_TRUE(sandbox.waitForLog("refused IMEI from phone"));
    EXPECT_EQ(ddtest::readFile(sandbox.dataDir() + "/victim.xml"), "keep");
    EXPECT_EQ(ddtest::readFile(sandbox.dataHome + "/configvictim.xml"), "keep");
    EXPECT_EQ(ddtest::readFile(storeFile()), storeBefore);
    EXPECT_EQ(hostile.syncSvrWrites(), 0) << "an unidentified phone is not re-registered";
    hostile.unplug();
    ASSERT_TRUE(ddtest::waitUntil([&] { return theApp.deviceThreads().size() == 1; }));
    EXPECT_EQ(ddtest::readFile(storeFile()), storeBefore);
    EXPECT_TRUE(entry("888888888888888"));
}

TEST_F(BrewThreads, WhileTheHostSynchronisesThePhoneIsLeftAlone) {
    std::string flag = sandbox.lockDir + "/ORQ_Connect_In_Sync";
    ddtest::writeFile(flag, "");
    auto phone = plug(phoneSpec("1-1", "121212121212121", key + "\0"s, key));
    ASSERT_TRUE(sandbox.waitForLog("host is synchronising, phone left alone"));
    EXPECT_TRUE(phone->commands().empty());
    EXPECT_FALSE(entry("121212121212121"));
    std::filesystem::remove(flag);
    ASSERT_TRUE(waitForEntry("121212121212121"));
}

// A host that disconnects a phone the moment its entry shows in the store
// finds the phone: the entry and the place go with the disconnect, every
// time, and the unplug gives nothing back twice.
TEST_F(BrewThreads, ADisconnectAsSoonAsTheEntryShowsTakesIt) {
    for (int round = 0; round < 12; ++round) {
        std::string imei = "1515151515151" + std::to_string(10 + round);
        auto phone = plug(phoneSpec("1-1", imei, key + "\0"s, key));
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        // Watched without a pause, so that the disconnect follows the
        // entry's write as closely as a host's file watch could.
        while (ddtest::readFile(storeFile()).find(imei) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
        }
        ASSERT_TRUE(entry(imei)) << "round " << round;
        EXPECT_EQ(theApp.disconnect(imei), 1);
        EXPECT_FALSE(entry(imei)) << "round " << round << ": the disconnect missed the phone";
        EXPECT_EQ(theApp.m_lConnectCount.load(), 0);
        phone->unplug();
        ASSERT_TRUE(ddtest::waitUntil([&] { return theApp.deviceThreads().empty(); }));
        EXPECT_FALSE(entry(imei));
        EXPECT_EQ(theApp.m_lConnectCount.load(), 0) << "the place is given back once";
    }
}

TEST_F(BrewThreads, ListsThatCannotBeReadAreNeverRewritten) {
    BrewPhone phone(phoneSpec("1-1", "151515151515151", "other@PC\0"s, "other@PC"));
    phone.setBrokenCommand("ReadPicture");
    ASSERT_TRUE(phone.plug(tree));
    std::optional<StoreEntry> found = waitForEntry("151515151515151");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->children["factoryreset"], "");
    EXPECT_EQ(phone.syncSvrWrites(), 0);
    EXPECT_EQ(phone.syncSettingWrites(), 0);
    EXPECT_EQ(phone.syncSetting(), "other@PC");
    EXPECT_EQ(remembered("151515151515151"), "");
    EXPECT_TRUE(sandbox.logContains("registration left as it is"));
}

// One IMEI, one recorded phone: a second phone answering with the IMEI of a
// phone being served leaves that phone's entry, unplug and host disconnect
// alone, and is recorded once the first phone has gone.
TEST_F(BrewThreads, ASecondPhoneWithAServedImeiWaitsAndDisturbsNothing) {
    const std::string imei = "161616161616161";
    auto first = plug(phoneSpec("1-1", imei, key + "\0"s, key));
    ASSERT_TRUE(waitForEntry(imei));
    auto second = plug(phoneSpec("1-2", imei, key + "\0"s, key));
    ASSERT_TRUE(sandbox.waitForLog("the brew phone on usb1 port 2 reports IMEI " + imei +
                                   ", which the phone on usb1 port 1 goes by; it is not "
                                   "recorded while that phone is there"));
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(entry(imei)->attributes["commport"], first->tty());

    second->unplug();
    ASSERT_TRUE(ddtest::waitUntil([&] { return theApp.deviceThreads().size() == 1; }));
    ASSERT_TRUE(entry(imei)) << "the other phone's unplug took the entry";
    EXPECT_EQ(entry(imei)->attributes["commport"], first->tty());

    auto third = plug(phoneSpec("1-3", imei, key + "\0"s, key));
    ASSERT_TRUE(sandbox.waitForLog("the brew phone on usb1 port 3 reports IMEI " + imei));
    EXPECT_EQ(theApp.disconnect(imei), 1);
    EXPECT_FALSE(entry(imei));
    for (const auto& thread : theApp.deviceThreads()) {
        EXPECT_EQ(thread->m_bUserDisconnect.load(), thread->m_nHubPort == 1 ? 1 : 0)
            << "port " << thread->m_nHubPort;
    }

    first->unplug();
    std::optional<StoreEntry> moved = waitForEntry(imei);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->attributes["commport"], third->tty());
    EXPECT_TRUE(sandbox.logContains("IMEI " + imei + " is free now"));
}

// Busy past its limit (none here), a phone is given up with one log line and
// only watched while it stays plugged; plugged again, it is served afresh.
TEST_F(BrewThreads, APhoneBusyPastItsLimitIsLeftAloneUntilPluggedAgain) {
    ddtest::makeDirs(sandbox.configHome + "/Orq Sync");
    ddtest::writeFile(sandbox.configHome + "/Orq Sync/DeviceDetect.ini",
                      "[Pell]\nIntervalForPhoneBusy=1\nLimitForPhoneBusy=0\n");
    const std::string imei = "171717171717171";
    const std::string leftAlone = "brew phone on usb1 port 1 left alone until it is plugged again";
    BrewPhoneSpec spec = phoneSpec("1-1", imei, key + "\0"s, key);
    auto busy = std::make_unique<BrewPhone>(spec);
    busy->setBusyReplies(1 << 30);
    ASSERT_TRUE(busy->plug(tree));
    ASSERT_TRUE(sandbox.waitForLog(leftAlone));

    // The watch goes on: each pass notes the host's sync flag. Two passes
    // with the flag gone in between would each have asked the phone again.
    const std::string flag = sandbox.lockDir + "/ORQ_Connect_In_Sync";
    for (int pass = 1; pass <= 2; ++pass) {
        ddtest::writeFile(flag, "");
        theApp.pokeDeviceThreads();
        ASSERT_TRUE(ddtest::waitUntil([&] {
            return sandbox.logCount("host is synchronising, phone left alone") == size_t(pass);
        }));
        std::filesystem::remove(flag);
        theApp.pokeDeviceThreads();
        ASSERT_TRUE(ddtest::waitUntil(
            [&] { return sandbox.logCount("host finished synchronising") == size_t(pass); }));
    }
    ddtest::writeFile(flag, "");
    theApp.pokeDeviceThreads();
    ASSERT_TRUE(ddtest::waitUntil(
        [&] { return sandbox.logCount("host is synchronising, phone left alone") == 3; }));
    std::filesystem::remove(flag);
    EXPECT_EQ(sandbox.logCount(leftAlone), 1u);
    EXPECT_EQ(busy->commands().size(), 1u) << "asked once, never again";
    EXPECT_FALSE(entry(imei));
    EXPECT_EQ(theApp.deviceThreads().size(), 1u);

    busy->unplug();
    ASSERT_TRUE(ddtest::waitUntil([&] { return theApp.deviceThreads().empty(); }));
    busy = plug(spec);
    ASSERT_TRUE(waitForEntry(imei)) << "plugged again, the phone is asked afresh";
}

TEST(BrewThreadAlone, ASetSyncSettingOver4096BytesIsNotSent) {
    ddtest::Sandbox sandbox;
    theApp.readLoaderConfig();
    CUsbDeviceThread_BMP thread("usb1", 1, "", 0x05c6, 0x3197);
    int notRegistered = 0;
    EXPECT_EQ(thread.checkSyncSetting(std::string(5000, 'k'), notRegistered, true),
              CUsbHelper::kRequestTooLong);
    EXPECT_EQ(notRegistered, 1);
    EXPECT_TRUE(sandbox.logContains("bytes, not sent"));
}

}  // namespace
