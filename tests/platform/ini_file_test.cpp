#include "platform/ini_file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <thread>
#include <vector>

#include "test_env.h"

namespace {

using dd::platform::IniDocument;

TEST(IniFile, ReadsLikeTheProfileFunctions) {
    IniDocument doc = IniDocument::parse(
        "junk before\r\n[Detect]\r\n  LogLevel = Info \r\n; comment\n[other]\nLogLevel=Err\n"
        "novalue\n=empty key\n[Broken\nx=1\n");
    EXPECT_EQ(doc.get("detect", "LOGLEVEL").value_or("-"), "Info");
    EXPECT_EQ(doc.get("other", "LogLevel").value_or("-"), "Err");
    EXPECT_FALSE(doc.get("Detect", "novalue"));
    EXPECT_FALSE(doc.get("Broken", "x")) << "a header without ']' opens no section";
}

TEST(IniFile, MissingEmptyOrBinaryFilesGiveTheFallback) {
    ddtest::TempDir dir;
    EXPECT_EQ(dd::platform::readIniString(dir / "absent.ini", "Detect", "LogLevel", "None"),
              "None");
    ddtest::writeFile(dir / "empty.ini", "");
    EXPECT_EQ(dd::platform::readIniString(dir / "empty.ini", "Detect", "LogLevel", "None"), "None");
    ddtest::writeFile(dir / "binary.ini", std::string("\0\x01\xff[Detect]\0LogLevel=Info", 26));
    EXPECT_EQ(dd::platform::readIniString(dir / "binary.ini", "Detect", "LogLevel", "None"),
              "None");
    ddtest::writeFile(dir / "long.ini", "[Detect]\nLogLevel=" + std::string(100, 'D') + "\n");
    EXPECT_EQ(
        dd::platform::readIniString(dir / "long.ini", "Detect", "LogLevel", "None", 19).size(),
        19u);
}

TEST(IniFile, KeysFromOutsideCannotBreakTheFile) {
    ddtest::TempDir dir;
    std::string path = dir / "remembered.ini";
    EXPECT_FALSE(dd::platform::writeIniString(path, "imei", "a=b", "65535"));
    EXPECT_FALSE(dd::platform::writeIniString(path, "imei", "x\n[evil]", "65535"));
    EXPECT_FALSE(dd::platform::writeIniString(path, "imei", "", "65535"));
    EXPECT_FALSE(dd::platform::writeIniString(path, "imei", "#352090", "65535"))
        << "the line would read back as a comment";
    EXPECT_TRUE(dd::platform::writeIniString(path, "imei", "R58M40ABCDE", "65535"));
    EXPECT_EQ(ddtest::readFile(path), "[imei]\nR58M40ABCDE=65535\n");
}

TEST(IniFile, ConcurrentWritersKeepEveryKey) {
    ddtest::TempDir dir;
    std::string path = dir / "remembered.ini";
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                dd::platform::writeIniString(path, "imei", "phone" + std::to_string(t * 100 + i),
                                             "65535");
            }
        });
    }
    for (std::thread& w : writers) {
        w.join();
    }
    IniDocument doc = IniDocument::parse(ddtest::readFile(path));
    for (int t = 0; t < 8; ++t) {
        for (int i = 0; i < 20; ++i) {
            EXPECT_TRUE(doc.get("imei", "phone" + std::to_string(t * 100 + i)));
        }
    }
}

TEST(IniFile, AFileThatCannotBeReadWholeIsNeverRewritten) {
    ddtest::TempDir dir;
    // Over the size limit: rewriting it from what could be read would lose keys.
    std::string big = "[imei]\nkeep=1\n" + std::string(2 << 20, ';') + "\n";
    ddtest::writeFile(dir / "big.ini", big);
    EXPECT_FALSE(dd::platform::writeIniString(dir / "big.ini", "imei", "R58", "65535"));
    EXPECT_EQ(ddtest::readFile(dir / "big.ini"), big);
    // Not a file at all.
    ddtest::makeDirs(dir / "folder.ini");
    EXPECT_FALSE(dd::platform::writeIniString(dir / "folder.ini", "imei", "R58", "65535"));
    // A missing file is simply started.
    EXPECT_TRUE(dd::platform::writeIniString(dir / "new.ini", "imei", "R58", "65535"));
    EXPECT_EQ(ddtest::readFile(dir / "new.ini"), "[imei]\nR58=65535\n");
#ifndef _WIN32
    // (On Windows the file's access list is the user's and SYSTEM's alone,
    // which the private-folder tests check.)
    struct stat st {};
    ASSERT_EQ(stat((dir / "new.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file names the user's phones";
#endif
}

}  // namespace
