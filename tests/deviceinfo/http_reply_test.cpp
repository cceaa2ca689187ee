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

TEST(SplitHttpReply, KindOfEachReply) {
    const std::pair<std::string, HttpReplyKind> cases[] = {
        // Status code and headers are not interpreted.
        {"HTTP/1.1 500 Oops\r\nContent-Length: 999\r\n\r\nabc", HttpReplyKind::Body},
        {"HTTP/1.1 200 OK\r\n\r\n", HttpReplyKind::Body},
        {"", HttpReplyKind::Empty},
        // Chunked ending anywhere, even in a cut reply's head, refuses the reply.
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         HttpReplyKind::Chunked},
        {"X\r\n0\r\n", HttpReplyKind::Chunked},
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n{}", HttpReplyKind::NoBlankLine},
        {"HTTP/1.1 200 OK\n\n{}", HttpReplyKind::NoBlankLine},
    };
    for (const auto& [reply, kind] : cases) {
        EXPECT_EQ(dd::splitHttpReply(reply).kind, kind) << reply;
    }
    EXPECT_EQ(dd::splitHttpReply("HTTP/1.1 500 Oops\r\n\r\nabc").body, "abc");
    EXPECT_EQ(dd::splitHttpReply("HTTP/1.1 200 OK\r\n\r\n").body, "");
}

}  // namespace
