// The rules of the monitor list and the information list, on the in-process
// application object: which thread class a device gets, when it gets none,
// and how the lists find and drop entries. No detection runs here, so the
// created threads stay suspended (no thread exists) and can be inspected.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>

#include "android/usb_device_thread_android.h"
#include "brew/usb_device_thread_bmp.h"
#include "core/device_detect_app.h"
#include "deviceinfo/android_device_info.h"
#include "fake_usb_tree.h"
#include "test_env.h"

namespace {

using phonesim::FakeUsbDevice;
using phonesim::FakeUsbTree;

constexpr const char* kCatalogue = R"(<?xml version="1.0" encoding="utf-8"?>
<orqsupportdevice>
  <device vid="18d1" pid="4ee7" type="android" dll="pixel.so"><model>Pixel</model></device>
  <device vid="04e8" pid="6860"><model>Galaxy</model></device>
  <device vid="05c6" pid="3197" type="BMP"><model>Classic</model></device>
  <device vid="0bb4" pid="0c02" type="wm"><model>Old</model></device>
  <device vid="22b8" pid="2e76" type="symbian"><model>Other</model></device>
</orqsupportdevice>
)";

class DeviceLists : public ::testing::Test {
  protected:
    ddtest::Sandbox sandbox;
    FakeUsbTree tree{sandbox.sysfsRoot, sandbox.devRoot};

    void SetUp() override {
        sandbox.writeModuleFile("device.xml", kCatalogue);
        theApp.readLoaderConfig();  // takes the sandbox's folders
    }
    void TearDown() override {
        theApp.stopDetect();
        theApp.waitForDetectionEnd();
    }

    // Plugs a device and offers it to the list as a hub scan would.
    void offer(const std::string& port, uint16_t vid, uint16_t pid, const std::string& serial) {
        FakeUsbDevice device;
        device.port = port;
        device.vid = vid;
        device.pid = pid;
        device.serial = serial;
        ASSERT_TRUE(tree.plug(device));
        std::string hub = "usb" + port.substr(0, port.find('-'));
        int number = std::stoi(port.substr(port.find('-') + 1));
        EXPECT_EQ(theApp.CreateDeviceMonitorThread(hub, number, vid, pid), 0);
    }
    std::shared_ptr<CUsbDeviceThread> threadOn(int port) const {
        for (const auto& thread : theApp.deviceThreads()) {
            if (thread->m_nHubPort == port) {
                return thread;
            }
        }
        return nullptr;
    }
};

TEST_F(DeviceLists, TheCatalogueTypeDecidesTheThreadClass) {
    offer("1-1", 0x18d1, 0x4ee7, "PIXEL1");
    offer("1-2", 0x04e8, 0x6860, "GALAXY1");
    offer("1-3", 0x05c6, 0x3197, "");
    offer("1-4", 0x0bb4, 0x0c02, "WM1");
    offer("1-5", 0x22b8, 0x2e76, "OTHER1");
    ASSERT_EQ(theApp.deviceThreads().size(), 4u) << "\"wm\" gets no thread";

    auto pixel = std::dynamic_pointer_cast<CUsbDeviceThread_Android>(threadOn(1));
    ASSERT_TRUE(pixel);
    EXPECT_TRUE(pixel->m_pDeviceInfo);
    EXPECT_EQ(pixel->m_csDllName, sandbox.moduleDir + "/pixel.so");
    EXPECT_EQ(pixel->m_csHubPath, "usb1");
    EXPECT_EQ(pixel->m_nVid, 0x18d1);
    EXPECT_EQ(pixel->m_nState.load(), CUsbDeviceThread::kStateCreated);
    EXPECT_FALSE(pixel->IsResumed()) << "created suspended";

    auto galaxy = std::dynamic_pointer_cast<CUsbDeviceThread_Android>(threadOn(2));
    ASSERT_TRUE(galaxy) << "no type means android";
    EXPECT_TRUE(galaxy->m_pDeviceInfo);
    EXPECT_TRUE(galaxy->m_csDllName.empty());

    EXPECT_TRUE(std::dynamic_pointer_cast<CUsbDeviceThread_BMP>(threadOn(3)))
        << "type compares ignoring case";
    auto other = std::dynamic_pointer_cast<CUsbDeviceThread_Android>(threadOn(5));
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->m_pDeviceInfo) << "other types get an Android thread without an entry";
    EXPECT_EQ(theApp.deviceInfos().size(), 2u);
}

TEST_F(DeviceLists, HomeVendorDevicesOutsideTheCatalogueStillGetAnAndroidThread) {
    offer("1-1", 0x1d45, 0x7777, "HOME1");
    offer("1-2", 0x2717, 0xff40, "FOREIGN1");
    ASSERT_EQ(theApp.deviceThreads().size(), 1u);
    auto home = std::dynamic_pointer_cast<CUsbDeviceThread_Android>(threadOn(1));
    ASSERT_TRUE(home);
    EXPECT_TRUE(home->m_csDllName.empty());
    EXPECT_TRUE(home->m_pDeviceInfo);
}

// A port is taken once (hub paths compare ignoring case); every scan sees
// its phone, but says so once.
TEST_F(DeviceLists, EveryScanSeesAListedPhoneButTakesItsPortOnce) {
    offer("1-1", 0x18d1, 0x4ee7, "QUIET1");
    for (int scan = 0; scan < 5; ++scan) {
        EXPECT_EQ(theApp.CreateDeviceMonitorThread(scan % 2 ? "USB1" : "usb1", 1, 0x18d1, 0x4ee7),
                  0);
    }
    std::string log = sandbox.log();
    size_t warnings = 0;
    for (size_t at = log.find("| War "); at != std::string::npos; at = log.find("| War ", at + 1)) {
        size_t end = log.find('\n', at);
        warnings += log.substr(at, end - at).find("detect thread is runing..") != std::string::npos;
    }
    EXPECT_EQ(warnings, 1u) << "once per thread, the rest at Debug";
    EXPECT_EQ(theApp.deviceThreads().size(), 1u);
    EXPECT_TRUE(threadOn(1)->SeenByScan());
    offer("1-2", 0x18d1, 0x4ee7, "TWICE");
    EXPECT_EQ(theApp.deviceThreads().size(), 2u);
}

TEST_F(DeviceLists, AMissingCatalogueCreatesNothing) {
    std::remove((sandbox.moduleDir + "/device.xml").c_str());
    offer("1-1", 0x18d1, 0x4ee7, "NOCAT");
    EXPECT_TRUE(theApp.deviceThreads().empty());
    EXPECT_TRUE(sandbox.logContains("not find " + sandbox.moduleDir + "/device.xml"));
}

// Another USB phone that reports this serial (or has it as its key) never
// keeps the real phone from getting a thread, and the two never share one
// information object; only a phone served over Wi-Fi makes USB stand back
// (tested with the Wi-Fi phones).
TEST_F(DeviceLists, AnotherUsbPhoneWithTheSerialNeitherBlocksNorSharesItsEntry) {
    offer("1-1", 0x18d1, 0x4ee7, "first");
    std::shared_ptr<AndroidDeviceInfo> served = threadOn(1)->m_pDeviceInfo;
    served->setSerialNumber("CLAIMED1");
    served->vid = 0x18d1;
    served->pid = 0x4ee7;

    offer("1-2", 0x18d1, 0x4ee7, "CLAIMED1");
    EXPECT_EQ(theApp.deviceThreads().size(), 2u);
    EXPECT_FALSE(sandbox.logContains("Wireless connection already exists! exit."));
    EXPECT_NE(threadOn(2)->m_pDeviceInfo, served) << "one information object per live thread";
    // An entry of a live thread is not taken out by another's key.
    theApp.RemoveDeviceInfo("CLAIMED1", threadOn(2)->m_pDeviceInfo.get());
    auto infos = theApp.deviceInfos();
    EXPECT_EQ(std::count(infos.begin(), infos.end(), served), 1);
}

TEST_F(DeviceLists, InformationEntriesAreFoundByKeyAndDropped) {
    auto a = theApp.findOrCreateDeviceInfo("");
    auto b = theApp.findOrCreateDeviceInfo("");
    EXPECT_NE(a, b) << "an entry without a serial is never found";
    a->setSerialNumber("R58ABC");
    EXPECT_EQ(theApp.findOrCreateDeviceInfo("r58abc"), a);
    EXPECT_EQ(theApp.findWirelessDuplicate("R58ABC"), nullptr) << "no thread serves it";
    EXPECT_EQ(theApp.findWirelessDuplicate(""), nullptr);

    theApp.RemoveDeviceInfo("ORQT");
    theApp.RemoveDeviceInfo("");
    EXPECT_EQ(theApp.deviceInfos().size(), 2u) << "an empty key removes nothing";
    theApp.RemoveDeviceInfo("ORQTr58abc");
    EXPECT_EQ(theApp.deviceInfos().size(), 1u);
    EXPECT_EQ(theApp.deviceInfos()[0], b);
    EXPECT_TRUE(sandbox.logContains("CDeviceDetectApp::RemoveDeviceInfo(ORQTr58abc)"));
    theApp.RemoveDeviceInfoEntry(b.get());
    EXPECT_TRUE(theApp.deviceInfos().empty());
}

TEST_F(DeviceLists, SyncStatusReachesTheThreadOfTheSerial) {
    offer("1-1", 0x18d1, 0x4ee7, "SYNC1");
    std::shared_ptr<CUsbDeviceThread> thread = threadOn(1);
    EXPECT_EQ(theApp.setSyncStatus("SYNC1", READY_SYNC), 0) << "no key before identification";
    thread->m_csSerialNum.set("sync1");
    EXPECT_EQ(theApp.setSyncStatus("SYNC1", 7), 1);
    EXPECT_EQ(thread->m_lSyncStatus.load(), -1) << "an unknown state changes nothing";
    EXPECT_EQ(theApp.setSyncStatus("SYNC1", READY_SYNC), 1);
    EXPECT_EQ(thread->m_lSyncStatus.load(), READY_SYNC);
    EXPECT_EQ(theApp.setSyncStatus("SYNC1", START_SYNC), 1);
    EXPECT_EQ(thread->m_lSyncStatus.load(), START_SYNC);

    thread->m_pDeviceInfo->setSerialNumber("Info1");
    EXPECT_EQ(theApp.findThreadByInfoSerial("INFO1"), thread);
    EXPECT_EQ(theApp.findThreadByInfoSerial("INFO2"), nullptr);
}

}  // namespace
