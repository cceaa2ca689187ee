// QX_UnmountDisk touches the mounts of the phone's own disks and nothing else.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "adb_harness.h"

namespace {

using ddtest::DeviceControllerLib;
using ddtest::makeDirs;
using ddtest::writeFile;

class UnmountDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        addUsbDevice("1-2", "R58M40ABCDE", "18d1", "4ee7", "sdb", "8:16", "8:17");
        addUsbDevice("1-3", "OTHERPHONE", "18d1", "4ee7", "sdc", "8:32", "8:33");
        mountTable = root / "mountinfo";
        writeFile(mountTable,
                  "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                  "40 22 8:17 / " +
                      root.path() +
                      "/mnt/my\\040phone rw,nosuid shared:20 - vfat /dev/sdb1 rw\n"
                      "41 22 8:33 / " +
                      root.path() +
                      "/mnt/other rw,nosuid shared:21 - vfat /dev/sdc1 rw\n"
                      "garbage line\n");
    }

    void addUsbDevice(const std::string& name, const std::string& serial, const std::string& vid,
                      const std::string& pid, const std::string& disk,
                      const std::string& diskNumber, const std::string& partitionNumber) {
        std::string dir = root / ("sys/bus/usb/devices/" + name);
        makeDirs(dir);
        writeFile(dir + "/serial", serial + "\n");
        writeFile(dir + "/idVendor", vid + "\n");
        writeFile(dir + "/idProduct", pid + "\n");
        std::string block = dir + "/" + name + ":1.0/host6/target6:0:0/6:0:0:0/block/" + disk;
        makeDirs(block + "/" + disk + "1");
        writeFile(block + "/dev", diskNumber + "\n");
        writeFile(block + "/" + disk + "1/dev", partitionNumber + "\n");
    }

    DeviceRecord record(const std::u16string& serial, uint16_t vid = 0x18d1,
                        uint16_t pid = 0x4ee7) {
        DeviceRecord r{};
        serial.copy(r.serialno, serial.size());
        r.vid = vid;
        r.pid = pid;
        return r;
    }

    ddtest::TempDir root{"unmount"};
    std::string mountTable;
    ddtest::ScopedEnv sysfs{"DEVICEDETECT_SYSFS_ROOT", root / "sys"};
    ddtest::ScopedEnv log{"DEVICEDETECT_LOG_FILE", root / "log"};
    std::unique_ptr<ddtest::ScopedEnv> table;
    DeviceControllerLib lib;
};

TEST_F(UnmountDisk, TriesOnlyThePhonesOwnMountsAndReportsThem) {
    table = std::make_unique<ddtest::ScopedEnv>("DEVICEDETECT_MOUNTINFO", mountTable);
    DeviceRecord phone = record(u"r58m40abcde");  // serials compare ignoring case
    // Nothing is really mounted there, so the unmount fails and says so.
    EXPECT_EQ(lib.unmount(&phone), UNMOUNT_PARTIAL);
    std::string log = ddtest::readFile(root / "log");
    EXPECT_NE(log.find("cannot unmount " + root.path() + "/mnt/my phone (/dev/sdb1)"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("/mnt/other"), std::string::npos) << log;
    EXPECT_EQ(log.find("sda1"), std::string::npos) << log;
}

TEST_F(UnmountDisk, UnknownPhonesAndBadRecordsAreRefused) {
    table = std::make_unique<ddtest::ScopedEnv>("DEVICEDETECT_MOUNTINFO", mountTable);
    DeviceRecord unknown = record(u"NOSUCHPHONE");
    EXPECT_EQ(lib.unmount(&unknown), UNMOUNT_DEVICE_NOT_FOUND);
    DeviceRecord wrongPid = record(u"R58M40ABCDE", 0x18d1, 0x1234);
    EXPECT_EQ(lib.unmount(&wrongPid), UNMOUNT_DEVICE_NOT_FOUND);
    DeviceRecord empty = record(u"");
    EXPECT_EQ(lib.unmount(&empty), UNMOUNT_BAD_RECORD);
    EXPECT_EQ(lib.unmount(nullptr), UNMOUNT_BAD_RECORD);
}

TEST_F(UnmountDisk, APhoneWithoutMountedDisksHasNothingToDo) {
    writeFile(mountTable, "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n");
    table = std::make_unique<ddtest::ScopedEnv>("DEVICEDETECT_MOUNTINFO", mountTable);
    DeviceRecord phone = record(u"R58M40ABCDE");
    EXPECT_EQ(lib.unmount(&phone), UNMOUNT_OK);
    EXPECT_NE(ddtest::readFile(root / "log").find("none mounted"), std::string::npos);
}

TEST_F(UnmountDisk, UnmountsARealMountOfThePhonesDisk) {
    std::string point = root / "mnt/real";
    makeDirs(point);
    if (mount("ddtest", point.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "no permission to mount here";
    }
    struct stat st {};
    stat(point.c_str(), &st);
    std::string number = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    addUsbDevice("1-4", "REALDISK", "18d1", "4ee7", "sdd", "8:48", number);
    DeviceRecord phone = record(u"REALDISK");
    uint16_t result = lib.unmount(&phone);  // reads the real mount table of this process
    struct stat after {};
    stat(point.c_str(), &after);
    if (after.st_dev == st.st_dev) {
        umount2(point.c_str(), MNT_DETACH);  // never leave our mount behind
    }
    EXPECT_EQ(result, UNMOUNT_OK);
    EXPECT_NE(after.st_dev, st.st_dev);
}

}  // namespace
