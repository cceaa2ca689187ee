// What the phone's bytes on the sync link ask for, and which status line the
// PC owes the phone: the pure rules, with the peer's real shapes of input.
#include "android/sync_message.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using dd::android::parseSyncMessage;
using dd::android::statusLineFor;
using dd::android::SyncRequestKind;

TEST(SyncMessageParse, TextBeforeStartGoesWithActionZero) {
    auto request = parseSyncMessage("ABC;START");
    EXPECT_EQ(request.kind, SyncRequestKind::Start);
    EXPECT_EQ(request.text, "ABC");
    EXPECT_EQ(dd::android::syncActionOf(request.kind), 0);
}

TEST(SyncMessageParse, BareStopGivesEmptyTextWithActionOne) {
    auto request = parseSyncMessage(";STOP");
    EXPECT_EQ(request.kind, SyncRequestKind::Stop);
    EXPECT_EQ(request.text, "");
    EXPECT_EQ(dd::android::syncActionOf(request.kind), 1);
}

TEST(SyncMessageParse, StopAppAloneEndsTheConnection) {
    EXPECT_EQ(parseSyncMessage("STOP_APP").kind, SyncRequestKind::StopApp);
    EXPECT_EQ(parseSyncMessage("STOP_APP\r\n").kind, SyncRequestKind::StopApp);
}

TEST(SyncMessageParse, StopAppAfterASemicolonIsAStopRequest) {
    auto request = parseSyncMessage("X;STOP_APP");
    EXPECT_EQ(request.kind, SyncRequestKind::Stop);
    EXPECT_EQ(request.text, "X");
}

TEST(SyncMessageParse, StartIsLookedForBeforeStop) {
    auto request = parseSyncMessage("X;START;STOP");
    EXPECT_EQ(request.kind, SyncRequestKind::Start);
    EXPECT_EQ(request.text, "X");
    // The keyword may stand anywhere after the first ';'.
    auto merged = parseSyncMessage("A;STOPB;START");
    EXPECT_EQ(merged.kind, SyncRequestKind::Start);
    EXPECT_EQ(merged.text, "A");
}

TEST(SyncMessageParse, DataWithoutSemicolonOrStopAppIsIgnored) {
    EXPECT_EQ(parseSyncMessage("").kind, SyncRequestKind::Ignored);
    EXPECT_EQ(parseSyncMessage("START").kind, SyncRequestKind::Ignored);
    EXPECT_EQ(parseSyncMessage("hello\r\n").kind, SyncRequestKind::Ignored);
    EXPECT_EQ(parseSyncMessage("STOP_AP").kind, SyncRequestKind::Ignored);
}

TEST(SyncMessageParse, SemicolonWithoutKeywordIsUndefined) {
    auto request = parseSyncMessage("hello;WORLD");
    EXPECT_EQ(request.kind, SyncRequestKind::Undefined);
    EXPECT_EQ(dd::android::syncActionOf(request.kind), -1);
    // Keywords are case-sensitive.
    EXPECT_EQ(parseSyncMessage("a;start").kind, SyncRequestKind::Undefined);
}

TEST(SyncMessageParse, StopAppWithoutSemicolonTakesTheTextBeforeIt) {
    auto request = parseSyncMessage("bye STOP_APP");
    EXPECT_EQ(request.kind, SyncRequestKind::StopApp);
    EXPECT_EQ(request.text, "bye ");
}

TEST(SyncMessageParse, StopAppBeforeTheFirstSemicolonStillEnds) {
    auto request = parseSyncMessage("STOP_APP;later");
    EXPECT_EQ(request.kind, SyncRequestKind::StopApp);
}

TEST(SyncMessageParse, FullReceiveOf128BytesIsOneText) {
    std::string bytes(122, 'x');
    bytes += ";START";
    ASSERT_EQ(bytes.size(), dd::android::kSyncReceiveBytes);
    auto request = parseSyncMessage(bytes);
    EXPECT_EQ(request.kind, SyncRequestKind::Start);
    EXPECT_EQ(request.text, std::string(122, 'x'));
}

TEST(SyncMessageParse, TextIsCutTo127Bytes) {
    std::string bytes(127, 'y');
    bytes += ";";  // 128 bytes: the keyword of this request fell into the next read
    auto request = parseSyncMessage(bytes);
    EXPECT_EQ(request.kind, SyncRequestKind::Undefined);
    EXPECT_EQ(request.text.size(), 127u);

    std::string longer(300, 'z');
    longer += ";STOP";
    auto cut = parseSyncMessage(longer);
    EXPECT_EQ(cut.kind, SyncRequestKind::Stop);
    EXPECT_EQ(cut.text, std::string(127, 'z'));
}

TEST(SyncMessageParse, OnlyTheGivenBytesAreSearched) {
    std::string backing = "AB;START";
    // A view of "AB" must not find the keyword that follows in memory.
    EXPECT_EQ(parseSyncMessage(std::string_view(backing).substr(0, 2)).kind,
              SyncRequestKind::Ignored);
    EXPECT_EQ(parseSyncMessage(std::string_view(backing).substr(0, 5)).kind,
              SyncRequestKind::Undefined);
}

TEST(SyncMessageParse, NonTextBytesAreCarriedAndHostTextEndsAtNul) {
    std::string bytes("\xff\xfe\x00zz;START", 11);
    auto request = parseSyncMessage(bytes);
    EXPECT_EQ(request.kind, SyncRequestKind::Start);
    EXPECT_EQ(request.text, std::string("\xff\xfe\x00zz", 5));
    EXPECT_EQ(dd::android::hostTextOf(request), "\xff\xfe");
    // A NUL does not hide a keyword that follows it.
    EXPECT_EQ(parseSyncMessage(std::string("\x00;STOP", 6)).kind, SyncRequestKind::Stop);
}

TEST(SyncStatusLine, FirstLineDependsOnTheCurrentStatus) {
    EXPECT_FALSE(statusLineFor(-1, -1).send) << "status never set: nothing";
    auto start = statusLineFor(0, -1);
    EXPECT_TRUE(start.send);
    EXPECT_EQ(start.bytes, "SYNC_STARTED\r\n");
    EXPECT_EQ(start.logText, "send start sync");
    auto stop = statusLineFor(1, -1);
    EXPECT_EQ(stop.bytes, "READY_TO_SYNC\r\n");
    EXPECT_EQ(stop.logText, "send stop sync");
    auto ready = statusLineFor(2, -1);
    EXPECT_EQ(ready.bytes, "READY_TO_SYNC\r\n");
    EXPECT_EQ(ready.logText, "send ready sync");
    EXPECT_EQ(ready.sentStatus, 2);
}

TEST(SyncStatusLine, SameStatusIsNotRepeatedButOneAndTwoAreTold) {
    EXPECT_FALSE(statusLineFor(2, 2).send);
    EXPECT_FALSE(statusLineFor(0, 0).send);
    auto again = statusLineFor(1, 2);
    EXPECT_TRUE(again.send);
    EXPECT_EQ(again.bytes, "READY_TO_SYNC\r\n");
    EXPECT_EQ(again.sentStatus, 1);
    EXPECT_TRUE(statusLineFor(2, 1).send);
}

TEST(SyncStatusLine, UnknownStatusesSendNothing) {
    EXPECT_FALSE(statusLineFor(3, -1).send);
    EXPECT_FALSE(statusLineFor(7, 2).send);
    EXPECT_FALSE(statusLineFor(-1, 0).send) << "going back to none says nothing";
}

TEST(SyncLogText, LineBreaksAndBinaryAreEscaped) {
    EXPECT_EQ(dd::android::printableBytes(std::string("a;START\r\n\x00\xff\\", 12)),
              "a;START\\x0d\\x0a\\x00\\xff\\x5c");
}

}  // namespace
