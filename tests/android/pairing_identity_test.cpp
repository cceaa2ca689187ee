// This PC's identity: its pieces from a fake sysfs tree and this machine,
// its two forms, and the application object taking it when detection is
// prepared.
#include "android/pc_identity.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

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
    // No disk: the trailing separator stays.
    EXPECT_EQ(formatPcIdentity({"bob", "box", 0xDEADBEEF, ""}, true), "bob_box_deadbeef_");
}

// The first disk in name order that has a serial gives its first eight
// characters, cut at the first byte that is not text; none gives "".
TEST(DiskSerial, FirstDiskWithASerialInNameOrder) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> disks;  // name, serial file
        std::string expected;
    };
    const Case cases[] = {
        {{}, ""},
        {{{"sdb", "ZZZZZZZZZZZZ\n"}, {"sda", "   WD-WCC4E1234567   \n"}}, "WD-WCC4E"},
        {{{"nvme0n1", "  \n"}, {"sda", "S1\n"}}, "S1"},
        {{{"sda", std::string("AB\x01\xff"
                              "CDEFGHIJ",
                              12)}},
         "AB"},
        {{{"sda", std::string(100000, 'Q')}}, "QQQQQQQQ"},  // a bounded read
    };
    for (const Case& c : cases) {
        ddtest::TempDir sysfs{"ddsysfs"};
        ddtest::makeDirs(sysfs / "block/loop0");  // a virtual device: no device/serial
        for (const auto& [name, serial] : c.disks) {
            ddtest::makeDirs(sysfs / ("block/" + name + "/device"));
            ddtest::writeFile(sysfs / ("block/" + name + "/device/serial"), serial);
        }
        EXPECT_EQ(dd::platform::firstDiskSerial(sysfs.path()), c.expected) << c.expected;
    }
    EXPECT_EQ(dd::platform::firstDiskSerial("/nonexistent/sysfs"), "");
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
