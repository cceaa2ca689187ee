// How a reply that arrived on the raw client's socket is split.
#include "deviceinfo/http_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using dd::HttpReplyKind;

TEST(SplitHttpReply, BodyIsEverythingAfterTheFirstBlankLine) {
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n{\"status\":0}\n\r\n\r\ntail";
    dd::HttpReply split = dd::splitHttpReply(reply);
    ASSERT_EQ(split.kind, HttpReplyKind::Body);
    EXPECT_EQ(split.head, "HTTP/1.1 200 OK\r\nContent-Length: 13");
    EXPECT_EQ(split.body, "{\"status\":0}\n\r\n\r\ntail");
}

TEST(SplitHttpReply, StatusCodeAndHeadersAreNotInterpreted) {
    dd::HttpReply split = dd::splitHttpReply("HTTP/1.1 500 Oops\r\nContent-Length: 999\r\n\r\nabc");
    ASSERT_EQ(split.kind, HttpReplyKind::Body);
    EXPECT_EQ(split.body, "abc");
}

TEST(SplitHttpReply, EmptyBodyAfterTheBlankLine) {
    dd::HttpReply split = dd::splitHttpReply("HTTP/1.1 200 OK\r\n\r\n");
    ASSERT_EQ(split.kind, HttpReplyKind::Body);
    EXPECT_TRUE(split.body.empty());
}

TEST(SplitHttpReply, NothingReceived) {
    EXPECT_EQ(dd::splitHttpReply("").kind, HttpReplyKind::Empty);
}

TEST(SplitHttpReply, ChunkedEndingAnywhereRefusesTheReply) {
    EXPECT_EQ(dd::splitHttpReply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 "5\r\nhello\r\n0\r\n\r\n")
                  .kind,
              HttpReplyKind::Chunked);
    // Even a cut reply whose head holds the marker.
    EXPECT_EQ(dd::splitHttpReply("X\r\n0\r\n").kind, HttpReplyKind::Chunked);
}

TEST(SplitHttpReply, HeadWithoutBlankLine) {
    EXPECT_EQ(dd::splitHttpReply("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n{}").kind,
              HttpReplyKind::NoBlankLine);
    EXPECT_EQ(dd::splitHttpReply("HTTP/1.1 200 OK\n\n{}").kind, HttpReplyKind::NoBlankLine);
}

TEST(SplitHttpReply, NulBytesAreOrdinaryData) {
    std::string reply("HTTP/1.1 200\0 OK\r\n\r\nab\0cd", 25);
    dd::HttpReply split = dd::splitHttpReply(reply);
    ASSERT_EQ(split.kind, HttpReplyKind::Body);
    EXPECT_EQ(split.body, std::string("ab\0cd", 5));
}

}  // namespace
