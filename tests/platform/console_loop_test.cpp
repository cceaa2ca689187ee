// What a console program's main loop waits on besides its sockets: a folder
// that changes, several handles in one wait, a loopback port of its own, a
// UDP port another program holds, and the user's Ctrl+C.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "platform/folder_watch.h"
#include "platform/handle_wait.h"
#include "platform/interrupt_signal.h"
#include "platform/loopback_server.h"
#include "platform/tcp_socket.h"
#include "platform/udp_socket.h"
#include "platform/wake_handle.h"

namespace {

namespace fs = std::filesystem;
using dd::platform::kNoHandle;
using dd::platform::NativeHandle;

// Long enough never to pass on a working machine: reaching it is the failure.
constexpr int kDeadlineMs = 20000;

class TempFolder {
  public:
    TempFolder() {
        std::string name = "dd-console-loop-" + std::to_string(std::random_device{}());
        m_path = fs::temp_directory_path() / name;
        fs::create_directories(m_path);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const fs::path& path() const { return m_path; }

  private:
    fs::path m_path;
};

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool readyWithin(NativeHandle handle, int timeoutMs) {
    bool ready = false;
    return dd::platform::waitForHandles(&handle, 1, timeoutMs, &ready) == 1 && ready;
}

TEST(ConsoleLoop, AFolderWatchSeesEachWayAFileChanges) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& folder)> prepare;  // before the watch starts
        std::function<void(const fs::path& folder)> change;
    };
    const Case cases[] = {
        {"a new file is written", [](const fs::path&) {},
         [](const fs::path& dir) { writeFile(dir / "store.xml", "<a/>"); }},
        {"a file is renamed over the store",
         [](const fs::path& dir) {
             writeFile(dir / "store.xml", "<a/>");
             fs::create_directories(dir / "aside");
             writeFile(dir / "aside" / "next", "<b/>");
         },
         [](const fs::path& dir) { fs::rename(dir / "aside" / "next", dir / "store.xml"); }},
        {"the store is removed", [](const fs::path& dir) { writeFile(dir / "store.xml", "<a/>"); },
         [](const fs::path& dir) { fs::remove(dir / "store.xml"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        c.prepare(folder.path());
        dd::platform::FolderWatch watch(folder.path().string());
        ASSERT_TRUE(watch.valid());
        EXPECT_FALSE(readyWithin(watch.handle(), 0)) << "signalled before any change";
        c.change(folder.path());
        EXPECT_TRUE(readyWithin(watch.handle(), kDeadlineMs));
    }
}

TEST(ConsoleLoop, AFolderWatchIsQuietAgainOnceDrained) {
    TempFolder folder;
    dd::platform::FolderWatch watch(folder.path().string());
    ASSERT_TRUE(watch.valid());
    writeFile(folder.path() / "store.xml", "<a/>");
    ASSERT_TRUE(readyWithin(watch.handle(), kDeadlineMs));
    watch.drain();
    EXPECT_FALSE(readyWithin(watch.handle(), 0));
    fs::remove(folder.path() / "store.xml");
    EXPECT_TRUE(readyWithin(watch.handle(), kDeadlineMs));
}

TEST(ConsoleLoop, OneWaitReportsEverySignalledHandleAndSkipsEmptySlots) {
    dd::platform::WakeHandle first, second, third;
    ASSERT_TRUE(first.valid() && second.valid() && third.valid());
    NativeHandle handles[4] = {first.native(), kNoHandle, second.native(), third.native()};
    bool ready[4] = {true, true, true, true};
    EXPECT_EQ(dd::platform::waitForHandles(handles, 4, 0, ready), 0) << "nothing signalled yet";
    EXPECT_FALSE(ready[0] || ready[1] || ready[2] || ready[3]);

    second.signal();
    third.signal();
    EXPECT_EQ(dd::platform::waitForHandles(handles, 4, kDeadlineMs, ready), 2);
    EXPECT_FALSE(ready[0]);
    EXPECT_FALSE(ready[1]);
    EXPECT_TRUE(ready[2]);
    EXPECT_TRUE(ready[3]);
}

TEST(ConsoleLoop, ALoopbackListenerTakesAConnectionAndKeepsItsPort) {
    uint16_t port = dd::platform::allocateLocalPort();
    ASSERT_NE(port, 0);
    std::string problem;
    dd::platform::UniqueFd listener = dd::platform::listenOnLoopback(port, &problem);
    ASSERT_TRUE(listener) << problem;

    std::string second;
    EXPECT_FALSE(dd::platform::listenOnLoopback(port, &second)) << "the port was taken twice";
    EXPECT_FALSE(second.empty()) << "a refusal says why";

    dd::platform::UniqueFd client = dd::platform::connectTcp4(
        "127.0.0.1", port, std::chrono::milliseconds(kDeadlineMs), nullptr);
    ASSERT_TRUE(client);
    dd::platform::Readiness ready = dd::platform::waitReadyOrWoken(
        listener.get(), dd::platform::Io::Read, nullptr, nullptr, kDeadlineMs);
    ASSERT_TRUE(ready.ready);
    dd::platform::UniqueFd accepted = dd::platform::acceptClient(listener.get());
    EXPECT_TRUE(accepted);

    // A connection that comes while the wait is already under way ends it
    // too (on Windows a listener reports it as an accept, not as input).
    // The pause only makes that order likely; either order must pass.
    dd::platform::Readiness later;
    std::thread waiter([&] {
        later = dd::platform::waitReadyOrWoken(listener.get(), dd::platform::Io::Read, nullptr,
                                               nullptr, kDeadlineMs);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    dd::platform::UniqueFd another = dd::platform::connectTcp4(
        "127.0.0.1", port, std::chrono::milliseconds(kDeadlineMs), nullptr);
    waiter.join();
    ASSERT_TRUE(another);
    EXPECT_TRUE(later.ready) << "the wait missed a connection made during it";
}

TEST(ConsoleLoop, AUdpPortIsTakenWhileAnotherSocketHoldsIt) {
    uint32_t loopback = *dd::platform::parseIpv4("127.0.0.1");
    uint16_t port = dd::platform::allocateLocalPort();
    ASSERT_NE(port, 0);
    {
        dd::platform::UdpSocket holder;
        std::string problem;
        ASSERT_TRUE(holder.bind(loopback, port, &problem)) << problem;
        EXPECT_EQ(dd::platform::probeUdpPort(loopback, port), dd::platform::PortState::InUse);
    }
    EXPECT_EQ(dd::platform::probeUdpPort(loopback, port), dd::platform::PortState::Free);
}

#ifndef _WIN32
// Windows raises Ctrl+C through the console, which a test run may not have.
TEST(ConsoleLoop, AnInterruptSignalsItsHandleInsteadOfEndingTheProgram) {
    dd::platform::InterruptSignal interrupt;
    ASSERT_NE(interrupt.handle(), kNoHandle);
    EXPECT_FALSE(readyWithin(interrupt.handle(), 0));
    std::raise(SIGINT);
    EXPECT_TRUE(readyWithin(interrupt.handle(), kDeadlineMs));
}
#endif

}  // namespace
