// The raw HTTP client against scripted loopback peers and the simulated
// companion service.
#include "deviceinfo/raw_http_client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "companion_service.h"
#include "in_process_log.h"
#include "loopback_peers.h"
#include "loopback_sockets.h"
#include "platform/unique_fd.h"

namespace {

using dd::platform::UniqueFd;
using phonesim::CompanionService;
using phonesim::Fault;

constexpr const char* kOkReply =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n{\"status\":0}";

const std::string kHeadTail =
    " HTTP/1.1\r\n"
    "Pragma:no-cache\r\n"
    "If-Modified-Since:Sat, 1 Jan 2000 00:00:00 GMT\r\n"
    "Expires:0\r\n"
    "Cache-Control:no-store, no-cache, max-age=0, must-revalidate\r\n"
    "Content-Type:application/json\r\n";

// A socket bound to a loopback port but not listening: connecting to it is
// refused, and the port stays ours until listen() is called on it.
UniqueFd boundNotListening(uint16_t& port) {
    UniqueFd fd(ddtest::bindLoopback(SOCK_STREAM, port));
    EXPECT_TRUE(fd.valid());
    return fd;
}

std::string serviceUrl(const CompanionService& service, const std::string& path = "/info/") {
    return "http://127.0.0.1:" + std::to_string(service.port()) + path;
}

int request(const std::string& url, std::vector<char>& out, const dd::ExitFlag* stop = nullptr) {
    qxurllib2 client;
    return client.dohttpRequest("GET", url, nullptr, 0, out.data(), out.size(), stop);
}

TEST(RawHttpRequestBytes, WithoutBodyIsAGetWithContentLengthZero) {
    ddtest::RawPeer peer(kOkReply);
    std::vector<char> out(4096, 'x');
    EXPECT_EQ(request(peer.url("/info/"), out), 1);
    ASSERT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(peer.requests()[0], "GET /info/" + kHeadTail + "Content-length:0\r\n\r\n");
}

TEST(RawHttpRequestBytes, WithBodyIsAPostWithTheBodysLength) {
    ddtest::RawPeer peer(kOkReply);
    std::vector<char> out(4096);
    const std::string body = "{\"imei\":\"86\",\"x\":\"\xc3\xa9\"}";
    qxurllib2 client;
    EXPECT_EQ(client.dohttpRequest("GET", peer.url("/a/b?c=d"), body.data(), body.size(),
                                   out.data(), out.size()),
              1);
    ASSERT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(peer.requests()[0], "POST /a/b?c=d" + kHeadTail + "Content-length:" +
                                      std::to_string(body.size()) + "\r\n\r\n" + body);
}

// What lands in the caller's buffer: the body after the first blank line,
// NUL bytes included, cut to the buffer (sized exactly, so ASan sees any
// overrun) and to the 4096-byte receive buffer, terminated, the rest zeroed.
TEST(RawHttpReply, TheBodyIsCopiedCutAndTerminated) {
    const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
    const size_t bodyRoom = qxurllib2::kReceiveBufferSize - head.size();
    struct Case {
        std::string reply;
        size_t outSize;
        std::string out;  // the whole buffer after the call
    } cases[] = {
        {kOkReply, 64, "{\"status\":0}" + std::string(64 - 12, '\0')},
        {std::string("HTTP/1.1 200 OK\r\n\r\nab\0cd", 24), 16,
         std::string("ab\0cd", 5) + std::string(11, '\0')},
        {head + std::string(100, 'b'), 8, std::string(7, 'b') + '\0'},
        {head + std::string(10000, 'b'), 5000,
         std::string(bodyRoom, 'b') + std::string(5000 - bodyRoom, '\0')},
        {head, 16, std::string(16, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply.substr(0, 30));
        ddtest::RawPeer peer(c.reply);
        std::vector<char> out(c.outSize, 'x');
        ASSERT_EQ(request(peer.url("/"), out), 1);
        EXPECT_EQ(std::string(out.data(), out.size()), c.out);
    }
}

struct FaultCase {
    Fault fault;
    int expected;
};

class RawHttpServiceFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(RawHttpServiceFault, GivesTheExpectedResult) {
    CompanionService service;
    ASSERT_TRUE(service.start());
    service.setFault(GetParam().fault);
    std::vector<char> out(4196);
    EXPECT_EQ(request(serviceUrl(service), out), GetParam().expected);
    EXPECT_EQ(service.requestCount(), 1u);
    if (GetParam().expected == 1) {
        EXPECT_GT(std::string(out.data()).size(), 100u);  // the Base64 info text
    } else {
        EXPECT_EQ(out[0], '\0');
    }
}

std::string faultName(const ::testing::TestParamInfo<FaultCase>& info) {
    static const char* const kNames[] = {"None",       "Slow",        "Silent",   "KeepOpen",
                                         "CloseEarly", "CloseAtOnce", "Chunked",  "NoBlankLine",
                                         "Garbage",    "Oversized",   "WrongKey", "WrongTypes"};
    return kNames[static_cast<int>(info.param.fault)];
}

// KeepOpen: answered in full but held open, so read until 3 s of silence.
INSTANTIATE_TEST_SUITE_P(
    Faults, RawHttpServiceFault,
    ::testing::Values(FaultCase{Fault::None, 1}, FaultCase{Fault::Slow, 1},
                      FaultCase{Fault::KeepOpen, 1}, FaultCase{Fault::Silent, 0},
                      FaultCase{Fault::CloseEarly, 0}, FaultCase{Fault::CloseAtOnce, 0},
                      FaultCase{Fault::Chunked, 0}, FaultCase{Fault::NoBlankLine, 0}),
    faultName);

TEST(RawHttpConnect, ServiceNotListeningFailsAfterFourAttempts) {
    ddtest::InProcessLog log;
    uint16_t port = 0;
    UniqueFd holder = boundNotListening(port);
    std::vector<char> out(64, 'x');
    EXPECT_EQ(request("http://127.0.0.1:" + std::to_string(port) + "/info/", out), 0);
    EXPECT_EQ(log.count("connect server 127.0.0.1 port " + std::to_string(port) + " faild."), 4u);
    EXPECT_EQ(log.count("send data1 failed"), 0u);  // nothing is sent after the last failure
    EXPECT_EQ(out[0], '\0');
}

TEST(RawHttpConnect, ALaterAttemptThatConnectsMakesTheRequestSucceed) {
    ddtest::InProcessLog log;
    uint16_t port = 0;
    UniqueFd listener = boundNotListening(port);
    std::vector<char> out(64);
    auto result = std::async(std::launch::async, [&] {
        return request("http://127.0.0.1:" + std::to_string(port) + "/info/", out);
    });
    ASSERT_TRUE(log.sandbox.waitForLog(" faild."));
    ASSERT_EQ(listen(listener.get(), 4), 0);
    pollfd entry{listener.get(), POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 10000), 1);
    UniqueFd connection(accept(listener.get(), nullptr, nullptr));
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && recv(connection.get(), &c, 1, 0) == 1) {
        head += c;
    }
    ASSERT_TRUE(phonesim::sendAll(connection.get(), std::string(kOkReply)));
    connection.reset();
    EXPECT_EQ(result.get(), 1);
    EXPECT_STREQ(out.data(), "{\"status\":0}");
    EXPECT_GE(log.count(" successed."), 1u);
}

TEST(RawHttpConnect, ServerNamesAreNeverResolved) {
    ddtest::RawPeer peer(kOkReply);
    std::vector<char> out(64);
    EXPECT_EQ(request("http://localhost:" + std::to_string(peer.port()) + "/", out), 0);
    EXPECT_EQ(request("http://127.1:" + std::to_string(peer.port()) + "/", out), 0);
    EXPECT_TRUE(peer.requests().empty());
}

TEST(RawHttpStop, AStopRequestCutsTheReadWaitShort) {
    CompanionService service;
    ASSERT_TRUE(service.start());
    service.setFault(Fault::Silent);
    dd::ExitFlag stop;
    std::vector<char> out(64);
    auto result =
        std::async(std::launch::async, [&] { return request(serviceUrl(service), out, &stop); });
    ASSERT_TRUE(ddtest::waitUntil([&] { return service.requestCount() == 1; }));
    stop.request();
    EXPECT_EQ(result.get(), 0);
}

TEST(RawHttpStop, AStopAlreadyRequestedConnectsNowhere) {
    CompanionService service;
    ASSERT_TRUE(service.start());
    dd::ExitFlag stop;
    stop.request();
    std::vector<char> out(64);
    EXPECT_EQ(request(serviceUrl(service), out, &stop), 0);
    EXPECT_EQ(service.requestCount(), 0u);
}

TEST(ParseHttpUrl, SplitsServerPortAndPath) {
    auto url = dd::parseHttpUrl("http://192.168.1.20:8183/sync/do/end?x=1", 511);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->server, "192.168.1.20");
    EXPECT_EQ(url->port, 8183);
    EXPECT_EQ(url->path, "/sync/do/end?x=1");
    url = dd::parseHttpUrl("HTTP://10.0.0.1", 511);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->port, 80);
    EXPECT_EQ(url->path, "/");
}

TEST(ParseHttpUrl, RefusesWhatWouldBreakTheRequest) {
    EXPECT_FALSE(dd::parseHttpUrl("https://127.0.0.1:1/", 511));
    EXPECT_FALSE(dd::parseHttpUrl("http://:80/", 511));
    EXPECT_FALSE(dd::parseHttpUrl("http://127.0.0.1:0/", 511));
    EXPECT_FALSE(dd::parseHttpUrl("http://127.0.0.1:65536/", 511));
    EXPECT_FALSE(dd::parseHttpUrl("http://127.0.0.1:-5/", 511));
    EXPECT_FALSE(dd::parseHttpUrl("http://u@127.0.0.1:5/", 511));
    EXPECT_FALSE(dd::parseHttpUrl("http://127.0.0.1:5/a b", 511));
    EXPECT_FALSE(dd::parseHttpUrl("http://127.0.0.1:5/a\r\nX-Injected:1", 511));
    EXPECT_TRUE(dd::parseHttpUrl("http://127.0.0.1:5/" + std::string(510, 'p'), 511));
    EXPECT_FALSE(dd::parseHttpUrl("http://127.0.0.1:5/" + std::string(511, 'p'), 511));
}

}  // namespace
