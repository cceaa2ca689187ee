// What the phone's bytes on the sync link ask for, and which status line the
// PC owes the phone: the pure rules, with the peer's real shapes of input.
#include "android/sync_message.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using dd::android::parseSyncMessage;
using dd::android::statusLineFor;
using Kind = dd::android::SyncRequestKind;

struct ParseCase {
    std::string received;
    Kind kind;
    std::string text;
};

TEST(SyncMessageParse, KindAndTextOfEachShape) {
    const std::string x122(122, 'x');
    const ParseCase cases[] = {
        {"ABC;START", Kind::Start, "ABC"},
        {";STOP", Kind::Stop, ""},
        {"STOP_APP", Kind::StopApp, ""},
        {"STOP_APP\r\n", Kind::StopApp, ""},
        {"X;STOP_APP", Kind::Stop, "X"},  // after a ';' it is a stop request
        {"X;START;STOP", Kind::Start, "X"},
        {"A;STOPB;START", Kind::Start, "A"},  // the keyword may stand anywhere after ';'
        {"", Kind::Ignored, ""},
        {"START", Kind::Ignored, ""},
        {"hello\r\n", Kind::Ignored, ""},
        {"STOP_AP", Kind::Ignored, ""},
        {"hello;WORLD", Kind::Undefined, "hello"},
        {"a;start", Kind::Undefined, "a"},  // keywords are case-sensitive
        {"bye STOP_APP", Kind::StopApp, "bye "},
        {"STOP_APP;later", Kind::StopApp, "STOP_APP"},
        {x122 + ";START", Kind::Start, x122},  // a full 128-byte read
        {std::string(127, 'y') + ";", Kind::Undefined, std::string(127, 'y')},  // keyword cut off
        {std::string(300, 'z') + ";STOP", Kind::Stop, std::string(127, 'z')},   // text cut to 127
        {std::string("\xff\xfe\x00zz;START", 11), Kind::Start, std::string("\xff\xfe\x00zz", 5)},
        {std::string("\x00;STOP", 6), Kind::Stop, std::string(1, '\0')},  // NUL hides nothing
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(dd::android::printableBytes(c.received));
        auto request = parseSyncMessage(c.received);
        EXPECT_EQ(request.kind, c.kind);
        if (c.kind != Kind::Ignored) {
            EXPECT_EQ(request.text, c.text);
        }
    }
    EXPECT_EQ(dd::android::syncActionOf(Kind::Start), 0);
    EXPECT_EQ(dd::android::syncActionOf(Kind::Stop), 1);
    EXPECT_EQ(dd::android::syncActionOf(Kind::Undefined), -1);
    EXPECT_EQ(dd::android::hostTextOf(parseSyncMessage(cases[18].received)), "\xff\xfe");
}

TEST(SyncMessageParse, OnlyTheGivenBytesAreSearched) {
    std::string backing = "AB;START";
    // A view of "AB" must not find the keyword that follows in memory.
    EXPECT_EQ(parseSyncMessage(std::string_view(backing).substr(0, 2)).kind, Kind::Ignored);
    EXPECT_EQ(parseSyncMessage(std::string_view(backing).substr(0, 5)).kind, Kind::Undefined);
}

struct StatusCase {
    int32_t status, lastSent;
    const char* bytes;  // nullptr: nothing is sent
    const char* logText;
};

TEST(SyncStatusLine, OnlyKnownChangedStatusesAreSent) {
    const StatusCase cases[] = {
        {-1, -1, nullptr, ""},  // never set
        {0, -1, "SYNC_STARTED\r\n", "send start sync"},
        {1, -1, "READY_TO_SYNC\r\n", "send stop sync"},
        {2, -1, "READY_TO_SYNC\r\n", "send ready sync"},
        {2, 2, nullptr, ""},
        {0, 0, nullptr, ""},
        {1, 2, "READY_TO_SYNC\r\n", "send stop sync"},  // same bytes, other meaning
        {2, 1, "READY_TO_SYNC\r\n", "send ready sync"},
        {3, -1, nullptr, ""},
        {7, 2, nullptr, ""},
        {-1, 0, nullptr, ""},  // going back to none says nothing
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " after " + std::to_string(c.lastSent));
        auto line = statusLineFor(c.status, c.lastSent);
        ASSERT_EQ(line.send, c.bytes != nullptr);
        if (line.send) {
            EXPECT_EQ(line.bytes, c.bytes);
            EXPECT_EQ(line.logText, c.logText);
            EXPECT_EQ(line.sentStatus, c.status);
        }
    }
}

TEST(SyncLogText, LineBreaksAndBinaryAreEscaped) {
    EXPECT_EQ(dd::android::printableBytes(std::string("a;START\r\n\x00\xff\\", 12)),
              "a;START\\x0d\\x0a\\x00\\xff\\x5c");
}

}  // namespace
