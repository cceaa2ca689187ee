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

// The outcomes' rules are PairingTest's; through the service: the identity
// itself is downloaded, matched and left alone, anything else is replaced.
TEST_F(PairingServiceTest, OnlyThisPcsIdentityIsKept) {
    const std::string identity = dd::android::encodeMarker(kThisPc);
    phone.putFile(kMarker, identity);
    check();
    EXPECT_EQ(entry->factoryReset, 0u);
    EXPECT_EQ(uploads(), 0u);
    EXPECT_EQ(remembered("SIM0001"), "<none>");
    for (const std::string& bad :
         {std::string(), identity.substr(0, identity.size() - 3), identity + "x",
          dd::android::encodeMarker(kOtherPc), kThisPc, std::string(3u << 20, 'A')}) {
        phone.putFile(kMarker, bad);
        entry->factoryReset = 9;
        check();
        EXPECT_EQ(entry->factoryReset, 0u) << bad.size();
        EXPECT_EQ(markerOnPhone(), identity) << bad.size();
    }
    EXPECT_EQ(remembered("SIM0001"), "65535");
    EXPECT_TRUE(sandbox.waitForLog("IMEI:SIM0001 not factory reset other pc"));
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
