// The link socket functions on loopback: port choice, connect with its time
// limit and interruptions, and the close that is done exactly once.
#include "android/link_sockets.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "links_full_listener.h"
#include "loopback_server.h"
#include "loopback_sockets.h"
#include "platform/exit_flag.h"
#include "test_env.h"

namespace {

using namespace std::chrono_literals;
using dd::android::ConnectWithTimeout;
using dd::android::CreateLinkSocket;
using dd::android::LinkSocket;

bool isOpenDescriptor(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

TEST(LinkSocketsPort, AllocatedPortIsFreeForTheForward) {
    uint16_t port = dd::android::AllocLocalPort();
    ASSERT_NE(port, 0);
    // The probe socket is closed again: the port can be bound at once.
    dd::platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr = ddtest::loopbackAddress(port);
    EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
}

TEST(LinkSocketsCreate, SocketReusesAddresses) {
    LinkSocket link = CreateLinkSocket();
    ASSERT_TRUE(link.valid());
    int value = 0;
    socklen_t len = sizeof(value);
    ASSERT_EQ(getsockopt(link.fd(), SOL_SOCKET, SO_REUSEADDR, &value, &len), 0);
    EXPECT_EQ(value, 1);
}

TEST(LinkSocketsConnect, ConnectsAndLeavesTheSocketBlocking) {
    phonesim::LoopbackServer echo;
    ASSERT_TRUE(echo.start(0, [](int fd) {
        char buffer[16];
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            phonesim::sendAll(fd, buffer, static_cast<size_t>(n));
        }
    }));
    LinkSocket link = CreateLinkSocket();
    ASSERT_EQ(ConnectWithTimeout(link, "127.0.0.1", echo.port(), 1), 1);
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(fcntl(link.fd(), F_GETFL) & O_NONBLOCK, 0);
    ASSERT_TRUE(phonesim::sendAll(link.fd(), "AT+CGSN\r\n"));
    char answer[9];
    ASSERT_TRUE(phonesim::recvExact(link.fd(), answer, sizeof(answer)));
    EXPECT_EQ(std::string(answer, sizeof(answer)), "AT+CGSN\r\n");
}

// A refused connect, addresses that are not dotted IPv4, and no socket at
// all fail; the socket is closed once, and the caller's close does nothing.
TEST(LinkSocketsConnect, FailedConnectClosesTheSocket) {
    uint16_t refused = dd::android::AllocLocalPort();  // nobody listens there
    for (const char* address : {"127.0.0.1", "localhost", "127.0.0.1 ", "", "::1", "1.2.3.4.5"}) {
        LinkSocket link = CreateLinkSocket();
        int fd = link.fd();
        EXPECT_EQ(ConnectWithTimeout(link, address, refused, 1), 0) << address;
        EXPECT_FALSE(link.valid()) << address;
        EXPECT_FALSE(isOpenDescriptor(fd)) << address;
        link.close();
    }
    LinkSocket none;
    EXPECT_EQ(ConnectWithTimeout(none, "127.0.0.1", 80, 1), 0);
}

TEST(LinkSocketsConnect, HangingConnectEndsAtItsTimeLimit) {
    linktest::FullListener listener;
    ASSERT_TRUE(listener.full());
    LinkSocket link = CreateLinkSocket();
    EXPECT_EQ(ConnectWithTimeout(link, "127.0.0.1", listener.port(), 1), 0);
    EXPECT_FALSE(link.valid());
}

// Runs a connect with a long limit on another thread; true when it returned
// 0 before the test's deadline, which only an interruption can achieve.
template <typename Interrupt>
bool connectEndsEarly(uint16_t port, const dd::android::ConnectInterrupt& interrupt,
                      Interrupt interruptNow) {
    std::atomic<int> result{-1};
    LinkSocket link = CreateLinkSocket();
    std::thread connector(
        [&] { result = ConnectWithTimeout(link, "127.0.0.1", port, 60, interrupt); });
    interruptNow();
    bool ended = ddtest::waitUntil([&] { return result.load() != -1; }, 10s);
    connector.join();
    return ended && result.load() == 0 && !link.valid();
}

TEST(LinkSocketsConnect, WakeDescriptorCutsTheConnectShort) {
    linktest::FullListener listener;
    ASSERT_TRUE(listener.full());
    dd::platform::WakeHandle wake;
    ASSERT_TRUE(wake.valid());
    EXPECT_TRUE(connectEndsEarly(listener.port(), {nullptr, &wake}, [&] { wake.signal(); }));
}

TEST(LinkSocketsConnect, ExitFlagCutsTheConnectShort) {
    linktest::FullListener listener;
    ASSERT_TRUE(listener.full());
    dd::ExitFlag exit;
    EXPECT_TRUE(connectEndsEarly(listener.port(), {&exit, nullptr}, [&] { exit.request(); }));
}

TEST(LinkSocketsClose, LastLineReachesThePeerBeforeTheClose) {
    std::atomic<bool> accepted{false};
    std::atomic<bool> done{false};
    std::string got;
    bool reset = false;
    phonesim::LoopbackServer peer;
    ASSERT_TRUE(peer.start(0, [&](int fd) {
        accepted = true;
        char buffer[64];
        for (;;) {
            ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n < 0) {
                reset = errno == ECONNRESET;
                break;
            }
            if (n == 0) {
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        done = true;
    }));
    {
        LinkSocket link = CreateLinkSocket();
        ASSERT_EQ(ConnectWithTimeout(link, "127.0.0.1", peer.port(), 1), 1);
        ASSERT_TRUE(phonesim::sendAll(link.fd(), "READY_TO_SYNC\r\n"));
        // The server's accept must not take the number this close frees.
        ASSERT_TRUE(ddtest::waitUntil([&] { return accepted.load(); }));
        int fd = link.fd();
        link.close();
        EXPECT_FALSE(isOpenDescriptor(fd));
        link.close();  // closing twice is harmless
    }
    ASSERT_TRUE(ddtest::waitUntil([&] { return done.load(); }));
    peer.stop();
    EXPECT_EQ(got, "READY_TO_SYNC\r\n");
    EXPECT_FALSE(reset) << "the close must not reset the link";
}

TEST(LinkSocketsClose, MovedSocketIsClosedByItsNewOwnerOnly) {
    LinkSocket first = CreateLinkSocket();
    int fd = first.fd();
    LinkSocket second = std::move(first);
    EXPECT_FALSE(first.valid());
    first.close();
    EXPECT_TRUE(isOpenDescriptor(fd));
    second = LinkSocket();
    EXPECT_FALSE(isOpenDescriptor(fd));
}

}  // namespace
