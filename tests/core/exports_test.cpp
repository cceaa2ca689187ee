// The module's C interface as a host uses it: a fresh library per test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "child_program.h"
#include "module_loader.h"
#include "test_env.h"

namespace {

using ddtest::LoadedModule;
using ddtest::Sandbox;

// A second process that initialises the module; with "hold" it keeps it
// initialised until finish() closes its standard input.
class ProbeProcess : public ddtest::ChildProgram {
  public:
    explicit ProbeProcess(bool hold)
        : ChildProgram({std::string(DD_TEST_BIN_DIR) + "/dd_init_probe", LoadedModule::path(),
                        hold ? "hold" : ""},
                       {}, std::chrono::seconds(60), hold) {}
    // What QX_InitDetect returned there.
    int result() {
        return waitForOutput("\n", std::chrono::seconds(30)) ? std::atoi(output().c_str()) : -1;
    }
};

TEST(Exports, DynamicSymbolTableHoldsExactlyTheTenExports) {
    ddtest::ChildProgram nm({"/usr/bin/nm", "-D", "--defined-only", LoadedModule::path()}, {},
                            std::chrono::seconds(60));
    ASSERT_EQ(nm.finish(), 0) << nm.output();
    std::set<std::string> names;
    std::istringstream table(nm.output());
    for (std::string line; std::getline(table, line);) {
        names.insert(line.substr(line.find_last_of(' ') + 1));
    }
    std::set<std::string> expected = {"QX_InitDetect",           "QX_SetDeviceChangeCallBack",
                                      "QX_SetSyncByDevCallBack", "QX_startDetect",
                                      "QX_stopDetect",           "QX_DisconnectDevice",
                                      "QX_DeviceReadyToSync",    "QX_DeviceSyncBegin",
                                      "QX_DeviceSyncEnd",        "itoa"};
    EXPECT_EQ(names, expected);
}

TEST(Exports, InitOnceThenStartStop) {
    Sandbox sandbox;
    LoadedModule module;
    ASSERT_TRUE(module.ok());
    EXPECT_EQ(module.startDetect(), 1) << "start before init must be refused";
    EXPECT_EQ(module.InitDetect(), 0);
    EXPECT_EQ(module.InitDetect(), 1) << "a second init changes nothing";
    EXPECT_EQ(module.SetDeviceChangeCallBack(nullptr), 0);
    EXPECT_EQ(module.SetSyncByDevCallBack(nullptr), 0);
    EXPECT_EQ(module.startDetect(), 0);
    EXPECT_EQ(module.stopDetect(), 0);
    EXPECT_EQ(module.startDetect(), 0) << "detection can be resumed";
    EXPECT_EQ(module.stopDetect(), 0);
    EXPECT_TRUE(sandbox.logContains("CDeviceDetectApp::stopDetect() --"));
}

TEST(Exports, PerDeviceCallsRefuseUnusableRecords) {
    Sandbox sandbox;
    LoadedModule module;
    ASSERT_TRUE(module.ok());
    ASSERT_EQ(module.InitDetect(), 0);
    DeviceRecord empty{};
    for (auto call : {module.DisconnectDevice, module.DeviceReadyToSync, module.DeviceSyncBegin,
                      module.DeviceSyncEnd}) {
        EXPECT_EQ(call(nullptr), 1);
        EXPECT_EQ(call(&empty), 1);
    }
    DeviceRecord unknown{};
    unknown.serialno[0] = u'Z';
    EXPECT_EQ(module.DisconnectDevice(&unknown), 0)
        << "a disconnect is requested even if nobody matches";
    EXPECT_EQ(module.DeviceReadyToSync(&unknown), 1);
    EXPECT_EQ(module.DeviceSyncBegin(&unknown), 1);
    // Only the ++/-- lines for an empty record; the dump for a usable one.
    EXPECT_TRUE(sandbox.logContains("--QX_DeviceReadyToSync ret 1"));
    EXPECT_TRUE(sandbox.logContains("serialno : [Z]"));
    EXPECT_TRUE(sandbox.logContains("storagetype : [null]"));
}

TEST(Exports, ItoaRadixRules) {
    LoadedModule module;
    ASSERT_TRUE(module.ok());
    char buffer[40];
    EXPECT_STREQ(module.itoa(-255, buffer, 16), "ff");
    EXPECT_STREQ(module.itoa(-255, buffer, 10), "-255");
    EXPECT_STREQ(module.itoa(5, buffer, 2), "101");
    EXPECT_STREQ(module.itoa(12345, buffer, 1), "");
    EXPECT_STREQ(module.itoa(12345, buffer, 17), "");
    EXPECT_STREQ(module.itoa(0, buffer, 8), "0");
    EXPECT_STREQ(module.itoa(INT32_MIN, buffer, 10), "-2147483648");
    EXPECT_STREQ(module.itoa(-1, buffer, 16), "1") << "other radices write the magnitude";
}

TEST(Exports, LogLevelComesFromTheLoaderIniWordForWord) {
    struct Case {
        std::string ini;
        bool infoExpected;
        bool debugExpected;
    };
    const Case cases[] = {
        {"[Detect]\nLogLevel=Info\n", true, false},
        {"[Detect]\r\nLogLevel=Debug\r\n", true, true},
        {"[Detect]\nLogLevel=info\n", false, false},  // the words are case-sensitive
        {"[Detect]\n", false, false},
        {"", false, false},
        {std::string("\x00\xff\xfe[Detect\x01LogLevel", 17), false, false},
    };
    for (const Case& c : cases) {
        Sandbox sandbox;
        sandbox.writeModuleFile("orqBRAXLoader.ini", c.ini);
        LoadedModule module;
        ASSERT_TRUE(module.ok());
        ASSERT_EQ(module.InitDetect(), 0);
        module.startDetect();
        module.stopDetect();
        module.unload();
        std::string log = sandbox.log();
        EXPECT_EQ(log.find(" | Info | ") != std::string::npos ||
                      log.find(" | Err  | ") != std::string::npos,
                  c.infoExpected)
            << c.ini;
        EXPECT_EQ(log.find(" | Dbug | DeviceDetect\t | ") != std::string::npos, c.debugExpected)
            << c.ini;
    }
}

TEST(Exports, MissingCatalogueIsLoggedAndInitStillSucceeds) {
    Sandbox sandbox;
    unlink((sandbox.moduleDir + "/device.xml").c_str());
    LoadedModule module;
    ASSERT_TRUE(module.ok());
    EXPECT_EQ(module.InitDetect(), 0);
    EXPECT_TRUE(sandbox.logContains("| Crit | "));
    EXPECT_TRUE(sandbox.logContains("not find " + sandbox.moduleDir + "/device.xml"));
}

TEST(SingleInstance, SecondProcessIsRefusedUntilTheFirstStops) {
    Sandbox sandbox;
    LoadedModule module;
    ASSERT_TRUE(module.ok());
    ASSERT_EQ(module.InitDetect(), 0);
    {
        ProbeProcess second(false);
        EXPECT_EQ(second.result(), 1);
    }
    EXPECT_TRUE(sandbox.logContains("orqDetect already exists."));
    module.stopDetect();  // releases the guard
    ProbeProcess third(false);
    EXPECT_EQ(third.result(), 0);
}

TEST(SingleInstance, GuardHeldByAnotherProcessRefusesUs) {
    Sandbox sandbox;
    ProbeProcess first(true);
    ASSERT_EQ(first.result(), 0);
    {
        LoadedModule module;
        ASSERT_TRUE(module.ok());
        EXPECT_EQ(module.InitDetect(), 1);
        EXPECT_EQ(module.InitDetect(), 1) << "marked initialised all the same";
    }
    first.finish();  // the process ends; the kernel drops its lock
    LoadedModule again;
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.InitDetect(), 0);
}

// A shared lock folder where another user planted something: a link to a
// file of ours, or a lock file of their own that they hold. Neither may
// redirect our write nor keep detection from starting without a word.
TEST(SingleInstance, PlantedLockFilesAreNotFollowedNorObeyed) {
    Sandbox sandbox;
    ddtest::TempDir privateBase{"ddpriv"};
    ddtest::ScopedEnv tmpdir{"TMPDIR", privateBase.path()};
    const std::string guard = sandbox.lockDir + "/315082cd-02e7-4c3d-aaf6-0ca1a6f91321.lock";
    const std::string victim = sandbox.root / "victim.txt";
    ddtest::writeFile(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), guard.c_str()), 0);
    {
        LoadedModule module;
        ASSERT_TRUE(module.ok());
        EXPECT_EQ(module.InitDetect(), 0);
        EXPECT_TRUE(sandbox.logContains(guard + " is a symbolic link"));
        EXPECT_TRUE(sandbox.logContains("taking the single-instance lock in " + privateBase.path() +
                                        "/devicedetect-"));
        module.stopDetect();
    }
    EXPECT_EQ(ddtest::readFile(victim), "precious");

    if (geteuid() != 0) {
        GTEST_SKIP() << "a lock file of another user needs root to make";
    }
    ASSERT_EQ(unlink(guard.c_str()), 0);
    ddtest::writeFile(guard, "");
    ASSERT_EQ(chown(guard.c_str(), 65534, 65534), 0);
    int foreign = open(guard.c_str(), O_RDONLY);
    ASSERT_GE(foreign, 0);
    ASSERT_EQ(flock(foreign, LOCK_EX | LOCK_NB), 0);
    {
        LoadedModule module;
        ASSERT_TRUE(module.ok());
        EXPECT_EQ(module.InitDetect(), 0) << "someone else's lock keeps no one from starting";
        EXPECT_TRUE(sandbox.logContains(guard + " belongs to uid 65534"));
        module.stopDetect();
    }
    close(foreign);
}

}  // namespace
