// The pairing marker through a simulated phone's companion service (the
// module's HTTP client against phonesim), and re-pairing through theApp's
// rememberDevice with the phone's device thread in the monitor list.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "android/pairing_marker.h"
#include "android/service_marker_files.h"
#include "android/usb_device_thread_android.h"
#include "companion_service.h"
#include "core/device_detect_app.h"
#include "deviceinfo/android_device_info.h"
#include "platform/ini_file.h"
#include "test_env.h"

namespace {

const std::string kThisPc = "carol_ws.lan_1234abcd_DISK0001";
const std::string kOtherPc = "dave_other_99999999_";
const std::string kMarker = "/sdcard/.orqsync/android.dat";

class PairingServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        theApp.readLoaderConfig();  // data folder and log file of the sandbox
        ddtest::makeDirs(sandbox.dataDir());
        savedIdentity = theApp.m_csPCIdentity;
        theApp.m_csPCIdentity = kThisPc;
        ASSERT_TRUE(phone.start());
        entry = std::make_shared<AndroidDeviceInfo>();
        entry->confPath = "/sdcard/.orqsync";
        entry->adbSerial = "SIM0001";
        thread = std::make_shared<CUsbDeviceThread_Android>(entry, "usb1", 1, "", 0x1D45, 0x0FB5);
        thread->m_csSerialNum.set("SIM0001");
        thread->m_nHttpLocalPort = phone.port();
        theApp.AddDeviceThread(thread);
    }
    void TearDown() override {
        theApp.stopDeviceThreads();
        phone.stop();
        theApp.m_csPCIdentity = savedIdentity;
    }

    void check() {
        dd::android::ServiceMarkerFiles files(thread->m_nHttpLocalPort, &thread->m_lExit);
        dd::android::checkPairingMarker(
            files, *entry, thread->m_csSerialNum.get(),
            {theApp.m_csPCIdentity, theApp.dataFolder()},
            [](const std::string& s) { return theApp.rememberDevice(s); });
    }
    std::string markerOnPhone() {
        auto file = phone.file(kMarker);
        return file ? file->content : "<none>";
    }
    std::string remembered(const std::string& serial) {
        return dd::platform::readIniString(theApp.rememberedDeviceFile(), "imei", serial, "<none>");
    }
    size_t uploads() {
        size_t count = 0;
        for (const auto& request : phone.requests()) {
            count += request.method == "PUT" ? 1 : 0;
        }
        return count;
    }

    ddtest::Sandbox sandbox;
    phonesim::CompanionService phone;
    std::shared_ptr<AndroidDeviceInfo> entry;
    std::shared_ptr<CUsbDeviceThread_Android> thread;
    std::string savedIdentity;
};

// No marker (1), this PC's (0, nothing uploaded), another PC's (re-paired
// through the phone's thread: 0).
TEST_F(PairingServiceTest, TheThreeOutcomesThroughTheService) {
    int round = 0;
    auto markerPath = [&] { return entry->confPath + "/android.dat"; };
    struct Case {
        const char* pc;  // the marker's owner; nullptr: none
        uint32_t factoryReset;
        size_t uploads;
        const char* remembered;
        const char* logLine;
    };
    for (const Case& c : {Case{nullptr, 1, 1, "65535", "IMEI:SIM0001 already factory reset."},
                          Case{kThisPc.c_str(), 0, 0, "<none>", "not factory reset match pc"},
                          Case{kOtherPc.c_str(), 0, 1, "65535", "not factory reset other pc"}}) {
        SCOPED_TRACE(c.logLine);
        entry->confPath = "/sdcard/" + std::to_string(++round);  // a phone folder of its own
        if (c.pc != nullptr) {
            phone.putFile(markerPath(), dd::android::encodeMarker(c.pc));
        }
        std::remove(theApp.rememberedDeviceFile().c_str());
        size_t before = uploads();
        check();
        EXPECT_EQ(entry->factoryReset, c.factoryReset);
        EXPECT_EQ(uploads() - before, c.uploads);
        EXPECT_EQ(phone.file(markerPath())->content, dd::android::encodeMarker(kThisPc));
        EXPECT_EQ(remembered("SIM0001"), c.remembered);
        EXPECT_TRUE(sandbox.waitForLog(c.logLine));
    }
}

TEST_F(PairingServiceTest, MarkersThatAreNotThisPcsIdentityAreReplaced) {
    const std::string identity = dd::android::encodeMarker(kThisPc);
    for (const std::string& bad : {std::string(), identity.substr(0, identity.size() - 3),
                                   identity + "x", kThisPc, std::string(3u << 20, 'A')}) {
        phone.putFile(kMarker, bad);
        entry->factoryReset = 9;
        check();
        EXPECT_EQ(entry->factoryReset, 0u) << bad.size();
        EXPECT_EQ(markerOnPhone(), identity) << bad.size();
    }
}

TEST_F(PairingServiceTest, RememberDeviceFindsTheThreadIgnoringCase) {
    EXPECT_EQ(theApp.rememberDevice("sim0001"), 1);
    EXPECT_EQ(markerOnPhone(), dd::android::encodeMarker(kThisPc));
    EXPECT_EQ(entry->factoryReset, 0u);
    EXPECT_EQ(remembered("sim0001"), "65535");
}

TEST_F(PairingServiceTest, RememberDeviceWithoutAThreadDoesNothing) {
    EXPECT_EQ(theApp.rememberDevice("NOSUCHPHONE"), 0);
    EXPECT_EQ(theApp.rememberDevice(""), 0);
    EXPECT_EQ(markerOnPhone(), "<none>");
    EXPECT_EQ(remembered("NOSUCHPHONE"), "<none>");
}

TEST_F(PairingServiceTest, ServiceThatIsGoneCountsAsNoMarker) {
    phone.putFile(kMarker, dd::android::encodeMarker(kThisPc));
    phone.stop();
    check();
    EXPECT_EQ(entry->factoryReset, 1u);
    EXPECT_EQ(remembered("SIM0001"), "65535");
}

}  // namespace
