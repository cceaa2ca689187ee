// What the module relies on in the simulator's forwards: bytes pass both
// ways, either side's close or a stop ends the link at the other end, and a
// forward to no service closes at once (as adb's does).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

#include "adb_forward.h"
#include "loopback_sockets.h"
#include "platform/unique_fd.h"
#include "sync_tool.h"

namespace {

using namespace std::chrono_literals;
using dd::platform::UniqueFd;

// What arrives on fd within a second; "<closed>" when the peer closed.
std::string receive(int fd) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 1000) <= 0) {
        return "<nothing>";
    }
    char buffer[256];
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    return n <= 0 ? "<closed>" : std::string(buffer, static_cast<size_t>(n));
}

class SimulatorLoop : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tool.start());
        ASSERT_TRUE(forward.start(0));
    }
    phonesim::SyncTool tool;
    phonesim::AdbForward forward{"LOOP1", "tcp:7990", [this] { return tool.syncPort(); }};
};

TEST_F(SimulatorLoop, EitherSideClosingEndsTheOtherAndStopEndsTheRest) {
    UniqueFd module = ddtest::connectLoopback(forward.localPort());
    ASSERT_TRUE(tool.waitForSyncLink(1, 5s));
    ASSERT_EQ(send(module.get(), "READY_SYNC", 10, MSG_NOSIGNAL), 10);
    EXPECT_TRUE(tool.waitForSyncReceived("READY_SYNC", 5s));
    ASSERT_TRUE(tool.sendStart("desk"));
    EXPECT_EQ(receive(module.get()), "desk;START");
    module.reset();  // the module's end goes: the phone's end follows
    EXPECT_TRUE(tool.waitForSyncClosed(5s));

    UniqueFd second = ddtest::connectLoopback(forward.localPort());
    ASSERT_TRUE(tool.waitForSyncLink(2, 5s));
    tool.dropSyncLinks();  // the phone's end goes: the module sees it closed
    EXPECT_EQ(receive(second.get()), "<closed>");

    UniqueFd third = ddtest::connectLoopback(forward.localPort());
    ASSERT_TRUE(tool.waitForSyncLink(3, 5s));
    forward.stop();
    EXPECT_EQ(receive(third.get()), "<closed>");
    EXPECT_TRUE(tool.waitForSyncClosed(5s));
    EXPECT_FALSE(ddtest::connectLoopback(forward.localPort()));
}

TEST(SimulatorLoopForward, NoServiceOnThePhonePortClosesAtOnce) {
    phonesim::AdbForward forward("LOOP2", "tcp:7890", [] { return uint16_t{0}; });
    ASSERT_TRUE(forward.start(0));
    UniqueFd link = ddtest::connectLoopback(forward.localPort());
    ASSERT_TRUE(link);
    EXPECT_EQ(receive(link.get()), "<closed>");
}

}  // namespace
