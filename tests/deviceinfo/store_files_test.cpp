// The detected-device store and the downloads when their files are not what
// they should be: a damaged store is kept aside (never silently dropped), a
// store that cannot be read is never overwritten, and nothing waits on a
// FIFO planted in a file's place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "brew/brew_store_entry.h"
#include "brew_phone.h"
#include "companion_service.h"
#include "deviceinfo/detected_device_store.h"
#include "deviceinfo/service_requests.h"
#include "fake_usb_tree.h"
#include "fifo_guard.h"
#include "in_process_log.h"
#include "module_loader.h"
#include "test_env.h"

namespace {

constexpr auto kLimit = std::chrono::milliseconds(5000);

BrewStoreEntry brewEntry(const std::string& imei) {
    BrewStoreEntry entry;
    entry.imei = imei;
    entry.model = "Orq Classic";
    entry.commport = "ttyACM0";
    entry.vid = 0x05c6;
    entry.pid = 0x3197;
    entry.batteryLevel = "80";
    return entry;
}

std::vector<std::string> asideFiles(const std::string& xmlFolder) {
    std::vector<std::string> found;
    for (const std::string& name : ddtest::listDir(xmlFolder)) {
        if (name.rfind("detecteddevice.xml.damaged-", 0) == 0) {
            found.push_back(name);
        }
    }
    return found;
}

class StoreFiles : public ::testing::Test {
  protected:
    ddtest::InProcessLog log;
    std::string data = log.sandbox.dataDir();
    std::string folder = data + "/xml";
    std::string store = detectedDeviceFile(data);

    void SetUp() override { ddtest::makeDirs(folder); }
};

TEST_F(StoreFiles, ADamagedStoreIsKeptAsideAndANewOneStarted) {
    const std::string damaged[] = {
        "<detecteddevice><device imei='111' model='Orq'/><device imei='3",  // cut short
        "",                                                                 // emptied
        "<other><device imei='111'/></other>",                              // not a store
        std::string("\0\x01\xff<detecteddevice>", 19),
    };
    size_t aside = 0;
    for (const std::string& content : damaged) {
        ddtest::writeFile(store, content);
        ASSERT_TRUE(saveBrewStoreEntry(store, brewEntry("222222222222222")));
        ++aside;
        std::vector<std::string> kept = asideFiles(folder);
        ASSERT_EQ(kept.size(), aside) << "each damaged store gets a name of its own";
        EXPECT_EQ(ddtest::readFile(folder + "/" + kept.back()).size(), content.size());
        std::string now = ddtest::readFile(store);
        EXPECT_NE(now.find("222222222222222"), std::string::npos) << now;
        EXPECT_EQ(now.find("111"), std::string::npos);
    }
    EXPECT_EQ(log.count("is damaged"), aside);
    EXPECT_EQ(log.count(", starting a new store"), aside);

    // A removal that meets a damaged store sets it aside too, and makes none.
    ddtest::writeFile(store, "<detecteddevice><device imei='1'");
    EXPECT_FALSE(RemoveDetectedDevice(data, "1"));
    EXPECT_FALSE(ddtest::fileExists(store));
    EXPECT_EQ(asideFiles(folder).size(), aside + 1);
}

TEST_F(StoreFiles, AStoreThatCannotBeReadIsLeftAsItIsAndNotWritten) {
    // In the store's place: a FIFO (no writer ever comes), a folder.
    ASSERT_EQ(mkfifo(store.c_str(), 0600), 0);
    bool saved = true;
    bool removed = true;
    EXPECT_TRUE(ddtest::returnsWithin(store, kLimit, [&] {
        saved = saveBrewStoreEntry(store, brewEntry("222222222222222"));
        removed = RemoveDetectedDevice(data, "222222222222222");
    })) << "the store's FIFO held a phone's thread up";
    EXPECT_FALSE(saved);
    EXPECT_FALSE(removed);
    struct stat st {};
    ASSERT_EQ(lstat(store.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "replaced";
    EXPECT_TRUE(asideFiles(folder).empty()) << "unreadable is not damaged";
    EXPECT_GE(log.count("cannot read the detected-device store: " + store + " is a FIFO"), 2u);

    ASSERT_EQ(unlink(store.c_str()), 0);
    ddtest::makeDirs(store);
    EXPECT_FALSE(saveBrewStoreEntry(store, brewEntry("222222222222222")));
    EXPECT_FALSE(RemoveDetectedDevice(data, "222222222222222"));
    EXPECT_TRUE(ddtest::listDir(store).empty());
    EXPECT_TRUE(asideFiles(folder).empty());

    if (geteuid() != 0) {
        // A store this process may not read (root reads anything).
        ASSERT_EQ(rmdir(store.c_str()), 0);
        const std::string content = "<detecteddevice><device imei='111'/></detecteddevice>";
        ddtest::writeFile(store, content);
        ASSERT_EQ(chmod(store.c_str(), 0200), 0);
        EXPECT_FALSE(saveBrewStoreEntry(store, brewEntry("222222222222222")));
        ASSERT_EQ(chmod(store.c_str(), 0600), 0);
        EXPECT_EQ(ddtest::readFile(store), content);
        EXPECT_TRUE(asideFiles(folder).empty());
    }
}

class ServiceFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(service.start());
        endpoint.port = service.port();
    }
    ddtest::TempDir dir{"ddservice"};
    phonesim::CompanionService service;
    ServiceEndpoint endpoint;
};

TEST_F(ServiceFiles, NeitherAnUploadNorADownloadWaitsOnAFifo) {
    std::string fifo = dir / "android.dat";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    service.putFile("/m", "marker");
    ServiceResult upload = ServiceResult::Ok;
    ServiceResult download = ServiceResult::Ok;
    EXPECT_TRUE(ddtest::returnsWithin(fifo, kLimit, [&] {
        upload = endpoint.UploadFile("/filesystem/file/x", fifo);
        download = endpoint.DownloadFile("/filesystem/file/m", fifo);
    }));
    EXPECT_EQ(upload, ServiceResult::LocalFile);
    EXPECT_EQ(download, ServiceResult::LocalFile);
    struct stat st {};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(ddtest::listDir(dir.path()), std::vector<std::string>{"android.dat"});
    EXPECT_FALSE(service.file("/x"));
}

// Through the module: a BREW phone plugged while the store is damaged.
TEST(StoreThroughTheModule, APhoneRecordedOverADamagedStoreKeepsTheOldOneAside) {
    ddtest::Sandbox sandbox;
    phonesim::FakeUsbTree tree(sandbox.sysfsRoot, sandbox.devRoot);
    std::string folder = sandbox.dataDir() + "/xml";
    std::string store = folder + "/detecteddevice.xml";
    ddtest::makeDirs(folder);
    const std::string damaged = "<detecteddevice><device imei='111111111111111'/><devi";
    ddtest::writeFile(store, damaged);
    ddtest::LoadedModule module;
    ASSERT_TRUE(module.ok());
    ASSERT_EQ(module.InitDetect(), 0);
    ASSERT_EQ(module.startDetect(), 0);
    phonesim::BrewPhoneSpec spec;
    spec.imei = "356938035643809";
    phonesim::BrewPhone phone(spec);
    ASSERT_TRUE(phone.plug(tree));
    EXPECT_TRUE(ddtest::waitUntil(
        [&] { return ddtest::readFile(store).find("356938035643809") != std::string::npos; },
        std::chrono::seconds(20)));
    std::vector<std::string> kept = asideFiles(folder);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(ddtest::readFile(folder + "/" + kept[0]), damaged);
    EXPECT_TRUE(sandbox.logContains("detected-device store " + store + " is damaged"));
    EXPECT_TRUE(sandbox.logContains("kept as " + folder + "/" + kept[0]));
    phone.unplug();
    module.stopDetect();
}

}  // namespace
