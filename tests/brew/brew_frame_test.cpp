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
using phonesim::brewReplyFrame;

const std::string kHead = "\xFD\x00\xFF"s;  // reply frames add two bytes to it

TEST(BrewFrame, RequestIsHeaderEscapedBodyAndTrailer) {
    EXPECT_EQ(buildFrame("AB"), kHead + "AB\x00\x00\x7E"s);
    EXPECT_EQ(buildFrame("\x7E"), kHead + "\x7D\x5E\x00\x00\x7E"s);
    EXPECT_EQ(buildFrame("\x7D"), kHead + "\x7D\x5D\x00\x00\x7E"s);
    std::string frame = buildFrame("a\x7E\x7D\x7E"s + "b");
    EXPECT_EQ(frame.find('\x7E'), frame.size() - 1) << "the only 7E is the last byte";
}

TEST(BrewFrame, RepliesUnwrapOnlyWhenWholeAndHeaded) {
    const std::string head = kHead + "\x00\x00"s;
    struct Case {
        std::string wire;
        bool ok;
        std::string payload;
    } cases[] = {
        {brewReplyFrame("x\x7Dy\x7Ez"), true, "x\x7Dy\x7Ez"},
        {head + "\x7D\x5D\x00\x00\x7E"s, true, "\x7D"},
        {brewReplyFrame(""), true, ""},              // eight bytes with an empty payload
        {head + "ab\x7D\x00\x00\x7E"s, true, "ab"},  // a stray escape at the end is dropped
        {head + "\x7D\x00\x7E"s, true, ""},
        {brewReplyFrame("first") + brewReplyFrame("second"), true, "first"},
        {head + "\x00\x7E"s, false, ""},  // 7 bytes
        {"\xFD\x00\xFE\x00\x00"s + "abc\x00\x00\x7E"s, false, ""},
        {"", false, ""},
        {head + "abc", false, ""},  // never completed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.wire));
        std::string payload = "stale";
        EXPECT_EQ(unwrapReply(c.wire, payload), c.ok);
        EXPECT_EQ(payload, c.payload);
    }
}

TEST(BrewFrame, BusyAndCompleteness) {
    EXPECT_TRUE(dd::brew::isBusyReply("PhoneIsBusy<EndTag0x0d0c0f>"));
    EXPECT_TRUE(dd::brew::isBusyReply("PhoneIsBusy<EndTag0x0d0c0f>\r\nmore"));
    EXPECT_FALSE(dd::brew::isBusyReply("PhoneIsBusy"));
    EXPECT_FALSE(dd::brew::isBusyReply("DetectPhone OK"));
    EXPECT_FALSE(dd::brew::frameComplete(kHead + "abc"));
    EXPECT_TRUE(dd::brew::frameComplete(kHead + "abc\x7E"));
}

}  // namespace
