#include "log/log_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/text_codec.h"
#include "test_env.h"

namespace {

class LogStreamTest : public ::testing::Test {
  protected:
    ddtest::TempDir dir{"ddlog"};
    ddtest::ScopedEnv logFile{"DEVICEDETECT_LOG_FILE", dir / "out.log"};

    std::vector<std::string> lines() {
        std::vector<std::string> out;
        std::string text = ddtest::readFile(dir / "out.log");
        for (size_t pos = 0; pos < text.size();) {
            size_t end = text.find('\n', pos);
            out.push_back(text.substr(pos, end - pos));
            pos = end == std::string::npos ? text.size() : end + 1;
        }
        return out;
    }
    void TearDown() override { LogInit(0, 0, ""); }
};

TEST_F(LogStreamTest, LevelZeroWritesNothing) {
    LogInit(LOG_OPT_HEADER | LOG_OPT_SINK, 0, "DeviceDetect");
    DD_LOG(LOG_CRIT) << "never";
    EXPECT_TRUE(lines().empty());
}

TEST_F(LogStreamTest, LinesAboveTheLevelAreDroppedAndOthersTagged) {
    LogInit(LOG_OPT_HEADER | LOG_OPT_SINK, LOG_WAR, "DeviceDetect");
    int formatted = 0;
    auto expensive = [&] { return ++formatted; };
    DD_LOG(LOG_INFO) << "info " << expensive();
    DD_LOG(LOG_ERR) << "error " << 42 << " " << std::hex << 255 << " " << 16;
    EXPECT_EQ(formatted, 0) << "a switched-off line must not be formatted";
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 1u);
    // "2026-12-07 01:02:03:456 | Err  | DeviceDetect\t | file:line\t\t | tid | text"
    const std::string& line = got[0];
    ASSERT_GT(line.size(), 24u);
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[10], ' ');
    EXPECT_EQ(line[19], ':');
    EXPECT_EQ(line.substr(23, 30), " | Err  | DeviceDetect\t | log_");
    EXPECT_NE(line.find("log_stream_test.cpp:"), std::string::npos);
    EXPECT_NE(line.find("\t\t | "), std::string::npos);
    EXPECT_EQ(line.substr(line.size() - 17), " | error 42 ff 10") << line;
}

TEST_F(LogStreamTest, LongLinesAreCutTo511Units) {
    LogInit(LOG_OPT_HEADER | LOG_OPT_SINK, LOG_DEBUG, "DeviceDetect");
    DD_LOG(LOG_DEBUG) << std::string(600, 'x') << "tail";
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(dd::utf8ToWide(got[0]).size(), 511u);
    EXPECT_EQ(got[0].find("tail"), std::string::npos);
}

TEST_F(LogStreamTest, WideAndNonAsciiTextSurviveTheRoundTrip) {
    LogInit(LOG_OPT_SINK, LOG_DEBUG, "DeviceDetect");
    DD_LOG(LOG_INFO) << "model " << std::string("Gal\xC3\xA1xy") << L" \u00e9" << u"\u4e2d";
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("model Gal\xC3\xA1xy \xC3\xA9\xE4\xB8\xAD"), std::string::npos) << got[0];
}

TEST_F(LogStreamTest, SourceFileNameIsTheLastPathComponent) {
    LogInit(LOG_OPT_HEADER | LOG_OPT_SINK, LOG_DEBUG, "DeviceDetect");
    { LogLine(LOG_DEBUG, "plainname.cpp", 7) << "a"; }
    { LogLine(LOG_DEBUG, "C:\\src\\core\\win.cpp", 8) << "b"; }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].find("| plainname.cpp:7\t\t |"), std::string::npos);
    EXPECT_NE(got[1].find("| win.cpp:8\t\t |"), std::string::npos);
}

TEST(LogLevels, TagsAndSinkSeverities) {
    EXPECT_STREQ(logLevelTag(LOG_CRIT), L"Crit");
    EXPECT_STREQ(logLevelTag(LOG_ERR), L"Err ");
    EXPECT_STREQ(logLevelTag(LOG_WAR), L"War ");
    EXPECT_STREQ(logLevelTag(LOG_INFO), L"Info");
    EXPECT_STREQ(logLevelTag(LOG_DEBUG), L"Dbug");
    EXPECT_STREQ(logLevelTag(9), L"None");
    EXPECT_EQ(logSinkSeverity(LOG_DEBUG), 1);
    EXPECT_EQ(logSinkSeverity(LOG_INFO), 2);
    EXPECT_EQ(logSinkSeverity(LOG_WAR), 3);
    EXPECT_EQ(logSinkSeverity(LOG_CRIT), 3);
    EXPECT_EQ(logSinkSeverity(0), 0);
}

TEST_F(LogStreamTest, PhoneTextCannotBreakALineOrSendTerminalEscapes) {
    LogInit(LOG_OPT_SINK, LOG_DEBUG, "DeviceDetect");
    std::string hostile = "R58\r\n2026-01-01 | Crit | forged\x1b[2J\x7f";
    DD_LOG(LOG_INFO) << "serial " << hostile;
    DD_LOG(LOG_INFO) << "model " << std::u16string(u"A\nB");
    LogInit(0, 0, "");
    std::string text = ddtest::readFile(dir / "out.log");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(text.find("| serial R58\\x0d\\x0a2026-01-01 | Crit | forged\\x1b[2J\\x7f\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("| model A\\x0aB\n"), std::string::npos) << text;
}

TEST_F(LogStreamTest, TheFileIsCappedWithOneOlderCopyAndNeverFollowsALink) {
    ddtest::ScopedEnv cap{"DEVICEDETECT_LOG_MAX_BYTES", "4096"};
    LogInit(LOG_OPT_SINK, LOG_DEBUG, "DeviceDetect");
    for (int i = 0; i < 300; ++i) {
        DD_LOG(LOG_INFO) << "line " << i << " " << std::string(40, 'x');
    }
    std::string current = ddtest::readFile(dir / "out.log");
    std::string older = ddtest::readFile(dir / "out.log.1");
    EXPECT_LE(current.size(), 4096u);
    EXPECT_GT(older.size(), 3500u) << "turned over only when the next line would not fit";
    EXPECT_LE(older.size(), 4096u);
    EXPECT_NE(current.find("line 299 "), std::string::npos) << "the newest line is kept";
    EXPECT_EQ(older.back(), '\n') << "lines are never split across the two files";

    // A link planted where the log goes is not followed.
    const std::string victim = dir / "victim.txt";
    ddtest::writeFile(victim, "precious");
    ddtest::ScopedEnv planted{"DEVICEDETECT_LOG_FILE", dir / "planted.log"};
    ASSERT_EQ(symlink(victim.c_str(), (dir / "planted.log").c_str()), 0);
    DD_LOG(LOG_INFO) << "must not reach the victim";
    LogInit(0, 0, "");
    EXPECT_EQ(ddtest::readFile(victim), "precious");
}

}  // namespace
