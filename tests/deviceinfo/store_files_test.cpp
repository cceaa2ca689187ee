// The detected-device store when its file is not what it should be: a
// damaged store is kept aside (never silently dropped), a store that cannot
// be read is never overwritten, and nothing waits on a FIFO in its place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "brew/brew_store_entry.h"
#include "deviceinfo/detected_device_store.h"
#include "fifo_guard.h"
#include "in_process_log.h"
#include "test_env.h"

namespace {

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

TEST_F(StoreFiles, RemovesOnlyTheNamedPhone) {
    EXPECT_FALSE(RemoveDetectedDevice(data, "1")) << "no file: nothing created";
    EXPECT_FALSE(ddtest::fileExists(store));
    ddtest::writeFile(store,
                      "<detecteddevice><device imei='111'/><device imei=\"2' or '1'='1\"/>"
                      "<device imei='333'/></detecteddevice>");
    EXPECT_TRUE(RemoveDetectedDevice(data, "x' or '1'='1"));
    EXPECT_TRUE(RemoveDetectedDevice(data, "111"));
    std::string after = ddtest::readFile(store);
    EXPECT_EQ(after.find("111"), std::string::npos);
    EXPECT_NE(after.find("333"), std::string::npos);
    EXPECT_NE(after.find("2' or"), std::string::npos) << after;
}

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
    EXPECT_TRUE(ddtest::returnsWithin(store, std::chrono::seconds(5), [&] {
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

}  // namespace
