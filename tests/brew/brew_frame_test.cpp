// The framing of the serial protocol: what goes on the wire and which
// replies are accepted, with the phone's own reply frames from phonesim.
#include <gtest/gtest.h>

#include <string>

#include "brew/brew_frame.h"
#include "brew_phone.h"

namespace {

using namespace std::string_literals;
using dd::brew::buildFrame;
using dd::brew::unwrapReply;

TEST(BrewFrame, RequestIsHeaderEscapedBodyAndTrailer) {
    EXPECT_EQ(buildFrame("AB"),
              "\xFD\x00\xFF"
              "AB\x00\x00\x7E"s);
    EXPECT_EQ(buildFrame("\x7E"), "\xFD\x00\xFF\x7D\x5E\x00\x00\x7E"s);
    EXPECT_EQ(buildFrame("\x7D"), "\xFD\x00\xFF\x7D\x5D\x00\x00\x7E"s);
    std::string frame = buildFrame(
        "a\x7E\x7D\x7E"
        "b");
    EXPECT_EQ(frame.find('\x7E'), frame.size() - 1) << "the only 7E is the last byte";
}

TEST(BrewFrame, RepliesUnwrapWithEscapesUndone) {
    std::string payload;
    ASSERT_TRUE(unwrapReply(phonesim::brewReplyFrame("x\x7D"
                                                     "y\x7E"
                                                     "z"),
                            payload));
    EXPECT_EQ(payload,
              "x\x7D"
              "y\x7E"
              "z");
    ASSERT_TRUE(unwrapReply("\xFD\x00\xFF\x00\x00\x7D\x5D\x00\x00\x7E"s, payload));
    EXPECT_EQ(payload, "\x7D");
    ASSERT_TRUE(unwrapReply(phonesim::brewReplyFrame(""), payload));
    EXPECT_EQ(payload, "") << "eight bytes with an empty payload are accepted";
}

TEST(BrewFrame, ShortOrHeaderlessRepliesAreRefused) {
    std::string payload = "stale";
    EXPECT_FALSE(unwrapReply("\xFD\x00\xFF\x00\x00\x00\x7E"s, payload)) << "7 bytes";
    EXPECT_EQ(payload, "");
    EXPECT_FALSE(
        unwrapReply("\xFD\x00\xFE\x00\x00"
                    "abc\x00\x00\x7E"s,
                    payload));
    EXPECT_FALSE(unwrapReply("", payload));
    EXPECT_FALSE(
        unwrapReply("\xFD\x00\xFF\x00\x00"
                    "abc"s,
                    payload))
        << "never completed";
}

TEST(BrewFrame, AStrayEscapeAtTheEndIsDropped) {
    std::string payload;
    ASSERT_TRUE(
        unwrapReply("\xFD\x00\xFF\x00\x00"
                    "ab\x7D\x00\x00\x7E"s,
                    payload));
    EXPECT_EQ(payload, "ab");
    ASSERT_TRUE(unwrapReply("\xFD\x00\xFF\x00\x00\x7D\x00\x7E"s, payload));
    EXPECT_EQ(payload, "");
}

TEST(BrewFrame, OnlyTheFirstFrameOfTheBufferCounts) {
    std::string two = phonesim::brewReplyFrame("first") + phonesim::brewReplyFrame("second");
    std::string payload;
    ASSERT_TRUE(unwrapReply(two, payload));
    EXPECT_EQ(payload, "first");
}

TEST(BrewFrame, BusyAndCompleteness) {
    EXPECT_TRUE(dd::brew::isBusyReply("PhoneIsBusy<EndTag0x0d0c0f>"));
    EXPECT_TRUE(dd::brew::isBusyReply("PhoneIsBusy<EndTag0x0d0c0f>\r\nmore"));
    EXPECT_FALSE(dd::brew::isBusyReply("PhoneIsBusy"));
    EXPECT_FALSE(dd::brew::isBusyReply("DetectPhone OK"));
    EXPECT_FALSE(
        dd::brew::frameComplete("\xFD\x00\xFF"
                                "abc"s));
    EXPECT_TRUE(
        dd::brew::frameComplete("\xFD\x00\xFF"
                                "abc\x7E"s));
}

}  // namespace
