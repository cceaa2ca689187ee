// This PC's identity: its pieces from a fake sysfs tree and this machine,
// its two forms, and the application object taking it when detection is
// prepared.
#include "android/pc_identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <string>

#include "core/device_detect_app.h"
#include "platform/machine_identity.h"
#include "test_env.h"

namespace {

using dd::android::formatPcIdentity;
using dd::android::PcIdentityPieces;

TEST(PcIdentityForm, FullAndShortFormsJoinThePiecesInOrder) {
    PcIdentityPieces pieces{"alice", "desk.example", 0xc0ffee, "S3RIAL01"};
    EXPECT_EQ(formatPcIdentity(pieces, true), "alice_desk.example_00c0ffee_S3RIAL01");
    EXPECT_EQ(formatPcIdentity(pieces, false), "alice_desk.example_00c0ffee");
}

TEST(PcIdentityForm, MissingDiskLeavesTheTrailingSeparator) {
    PcIdentityPieces pieces{"bob", "box", 0xDEADBEEF, ""};
    EXPECT_EQ(formatPcIdentity(pieces, true), "bob_box_deadbeef_");
}

class DiskSerialTest : public ::testing::Test {
  protected:
    void addDisk(const std::string& name, const std::string& serial) {
        ddtest::makeDirs(sysfs / ("block/" + name + "/device"));
        ddtest::writeFile(sysfs / ("block/" + name + "/device/serial"), serial);
    }
    ddtest::TempDir sysfs{"ddsysfs"};
};

TEST_F(DiskSerialTest, NoDiskGivesAnEmptySerial) {
    EXPECT_EQ(dd::platform::firstDiskSerial(sysfs.path()), "");
    EXPECT_EQ(dd::platform::firstDiskSerial(sysfs / "missing"), "");
    ddtest::makeDirs(sysfs / "block/loop0");  // a virtual device: no device/serial
    EXPECT_EQ(dd::platform::firstDiskSerial(sysfs.path()), "");
}

TEST_F(DiskSerialTest, FirstDiskInNameOrderGivesItsFirstEightCharacters) {
    addDisk("sdb", "ZZZZZZZZZZZZ\n");
    addDisk("sda", "   WD-WCC4E1234567   \n");
    EXPECT_EQ(dd::platform::firstDiskSerial(sysfs.path()), "WD-WCC4E");
}

TEST_F(DiskSerialTest, DiskWithoutSerialIsPassedOver) {
    addDisk("nvme0n1", "  \n");
    addDisk("sda", "S1\n");
    EXPECT_EQ(dd::platform::firstDiskSerial(sysfs.path()), "S1");
}

TEST_F(DiskSerialTest, SerialIsCutAtTheFirstByteThatIsNotText) {
    addDisk("sda", std::string("AB\x01\xff"
                               "CDEFGHIJ",
                               12));
    EXPECT_EQ(dd::platform::firstDiskSerial(sysfs.path()), "AB");
    addDisk("sda", std::string(100000, 'Q'));  // bounded read of a huge attribute
    EXPECT_EQ(dd::platform::firstDiskSerial(sysfs.path()), "QQQQQQQQ");
}

TEST(MachineIdentity, PiecesComeFromThisMachine) {
    std::string user = dd::platform::currentUserName();
    EXPECT_FALSE(user.empty());
    EXPECT_LE(user.size(), 1024u);
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
    std::string computer = dd::platform::computerName();
    EXPECT_EQ(computer.rfind(host, 0), 0u) << computer;
    EXPECT_EQ(computer.find("(none)"), std::string::npos);
}

TEST(MachineIdentity, FullIdentityEndsWithSeparatorWhenNoDiskIsFound) {
    ddtest::TempDir sysfs{"ddsysfs"};
    std::string identity = dd::android::fullPcIdentity(sysfs.path());
    std::string shortForm = dd::android::shortPcIdentity();
    EXPECT_EQ(identity, shortForm + "_");
    EXPECT_EQ(identity.rfind(dd::platform::currentUserName() + "_", 0), 0u);
    // "_%08x_": eight lower-case hex digits before the last separator.
    ASSERT_GE(identity.size(), 11u);
    std::string volume = identity.substr(identity.size() - 10, 9);
    EXPECT_EQ(volume[0], '_');
    for (char c : volume.substr(1)) {
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'))
            << volume;
    }
}

TEST(MachineIdentity, PreparingDetectionTakesTheFullIdentity) {
    ddtest::Sandbox sandbox;
    ddtest::makeDirs(sandbox.sysfsRoot + "/block/sda/device");
    ddtest::writeFile(sandbox.sysfsRoot + "/block/sda/device/serial", "SANDBOX-DISK-77\n");
    theApp.readLoaderConfig();
    ASSERT_EQ(theApp.prepareDetect(), 0);
    std::string identity = theApp.m_csPCIdentity;
    theApp.stopDetect();
    EXPECT_EQ(identity, dd::android::shortPcIdentity() + "_SANDBOX-");
}

}  // namespace
