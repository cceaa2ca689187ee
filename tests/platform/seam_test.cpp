// What the platform promises the layers above it: waits that a wake-up cuts
// short, USB changes seen on a sysfs tree of its own, files and folders that
// are refused rather than followed, and problems handed back, not logged.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "platform/exit_flag.h"
#include "platform/local_time.h"
#include "platform/tcp_socket.h"
#include "platform/this_thread.h"
#include "platform/wake_handle.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/private_dir.h"
#include "platform/regular_file.h"
#include "platform/usb_monitor.h"
#include "test_env.h"
#endif

namespace {

using dd::platform::Io;
using dd::platform::Readiness;
using dd::platform::waitReadyOrWoken;
using dd::platform::WakeHandle;

constexpr int kNoLimit = -1;

// Each case ends an unlimited wait; a case that did not would hang the test
// until ctest's time limit, which is the failure.
TEST(PlatformSeam, AWakeUpEndsAWaitWithoutLimit) {
    struct Case {
        const char* name;
        std::function<void(WakeHandle& first, WakeHandle& second)> wake;
        bool first;
        bool second;
    };
    const Case cases[] = {
        {"signalled before the wait", [](WakeHandle& a, WakeHandle&) { a.signal(); }, true, false},
        {"signalled by another thread",
         [](WakeHandle& a, WakeHandle&) { std::thread([&a] { a.signal(); }).join(); }, true, false},
        {"the second handle", [](WakeHandle&, WakeHandle& b) { b.signal(); }, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WakeHandle first;
        WakeHandle second;
        ASSERT_TRUE(first.valid() && second.valid());
        std::thread waker([&] { c.wake(first, second); });
        Readiness r = waitReadyOrWoken(-1, Io::Read, &first, &second, kNoLimit);
        waker.join();
        EXPECT_FALSE(r.failed || r.timedOut || r.ready);
        EXPECT_EQ(r.woken[0], c.first);
        EXPECT_EQ(r.woken[1], c.second);
    }
}

TEST(PlatformSeam, ADrainedHandleWaitsAgainButAnExitStaysVisible) {
    WakeHandle handle;
    handle.signal();
    handle.drain();
    EXPECT_TRUE(waitReadyOrWoken(-1, Io::Read, &handle, nullptr, 0).timedOut);

    dd::ExitFlag flag;
    flag.request();  // before the handle exists
    const WakeHandle* wake = flag.wakeHandle();
    ASSERT_NE(wake, nullptr);
    flag.drainWake();
    EXPECT_TRUE(waitReadyOrWoken(-1, Io::Read, wake, nullptr, kNoLimit).woken[0]);

    dd::ExitFlag poked;
    const WakeHandle* pokeWake = poked.wakeHandle();
    std::thread([&] { poked.poke(); }).join();
    EXPECT_TRUE(waitReadyOrWoken(-1, Io::Read, pokeWake, nullptr, kNoLimit).woken[0]);
    poked.drainWake();
    EXPECT_TRUE(waitReadyOrWoken(-1, Io::Read, pokeWake, nullptr, 0).timedOut);

    // Drain, look, wait: a poke after the drain wakes the wait even when the
    // handle did not exist before the drain (an adb list change missed so
    // held a late phone until the next clock wake-up).
    dd::ExitFlag fresh;
    fresh.drainWake();
    fresh.poke();
    EXPECT_TRUE(waitReadyOrWoken(-1, Io::Read, fresh.wakeHandle(), nullptr, 0).woken[0]);

    // A poke while the owner is busy between two sleeps (an unplug during
    // its presence check) ends the next sleep at once, and only that one.
    EXPECT_TRUE(fresh.sleepFor(std::chrono::seconds(60)));
    std::thread leave([&] { fresh.request(); });
    EXPECT_FALSE(fresh.sleepFor(std::chrono::seconds(60)));
    leave.join();
}

#ifndef _WIN32
// The sysfs tree, permission bits and symbolic links of these cases are the
// Linux build's own.
TEST(PlatformSeam, TheUsbMonitorSeesARemovalOnItsOwnTree) {
    ddtest::TempDir dir("seam");
    std::string devices = dir / "sys/bus/usb/devices";
    std::filesystem::create_directories(devices + "/1-2");
    auto monitor = dd::platform::UsbMonitor::open(dir / "sys");
    ASSERT_TRUE(monitor->hasSource());
    EXPECT_EQ(monitor->openProblem(), "");

    ASSERT_EQ(rmdir((devices + "/1-2").c_str()), 0);
    dd::platform::UsbMonitor::Changes changes = monitor->wait();
    EXPECT_TRUE(changes.removal);
    ASSERT_EQ(changes.removedNames.size(), 1u);
    EXPECT_EQ(changes.removedNames[0], "1-2");
    EXPECT_TRUE(changes.warnings.empty());
}

TEST(PlatformSeam, AMonitorThatCannotWatchSaysWhyAndStillWakes) {
    ddtest::TempDir dir("seam");
    auto monitor = dd::platform::UsbMonitor::open(dir / "absent");
    EXPECT_FALSE(monitor->hasSource());
    EXPECT_EQ(
        monitor->openProblem().rfind("cannot watch " + dir.path() + "/absent/bus/usb/devices: ", 0),
        0u)
        << monitor->openProblem();
    std::thread waker([&] { monitor->wake(); });
    EXPECT_TRUE(monitor->wait().woken);
    waker.join();
}

TEST(PlatformSeam, FoldersAndFilesThatAreNotWhatTheySeemAreRefused) {
    ddtest::TempDir dir("seam");
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0700), 0);
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "open").c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir / "open").c_str(), 0755), 0);
    struct Case {
        std::string path;
        bool trusted;
        const char* reason;
    };
    const Case cases[] = {
        {dir / "real", true, ""},
        {dir / "link", false, "symbolic link"},
        {dir / "open", false, "open to other users"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string problem;
        EXPECT_EQ(dd::platform::checkPrivateDir(c.path, &problem), c.trusted);
        EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
    }
}

TEST(PlatformSeam, FileHelpersReadAPrefixAndReportInsteadOfLogging) {
    ddtest::TempDir dir("seam");
    std::string path = dir / "marker";
    ASSERT_TRUE(dd::platform::writeFileAtomically(path, "0123456789"));
    std::string prefix;
    EXPECT_TRUE(dd::platform::readFilePrefix(path, 4, prefix));
    EXPECT_EQ(prefix, "0123");
    EXPECT_TRUE(dd::platform::pathExists(path));
    dd::platform::removeFile(path);
    EXPECT_FALSE(dd::platform::pathExists(path));
    dd::platform::FileProblem missing;
    EXPECT_FALSE(dd::platform::readFilePrefix(path, 4, prefix, &missing));
    EXPECT_EQ(missing.kind, dd::platform::FileRefusal::Missing);

    // A settings "file" that is a folder: the default, and the reason.
    ASSERT_EQ(mkdir((dir / "folder.ini").c_str(), 0700), 0);
    std::string problem;
    EXPECT_EQ(
        dd::platform::readIniString(dir / "folder.ini", "Detect", "LogLevel", "None", 19, &problem),
        "None");
    EXPECT_NE(problem.find("; using the default for LogLevel"), std::string::npos) << problem;
    EXPECT_FALSE(dd::platform::writeIniString(dir / "folder.ini", "imei", "R58", "1", &problem));
    EXPECT_NE(problem.find("; not rewriting it for R58"), std::string::npos) << problem;
    EXPECT_TRUE(dd::platform::writeIniString(dir / "new.ini", "imei", "R58", "1", &problem));
    EXPECT_EQ(problem, "");
}

#endif

// The name as the system's tools show it; empty when they cannot.
std::string threadName() {
#ifdef _WIN32
    using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    auto get = reinterpret_cast<GetDescription>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    PWSTR text = nullptr;
    if (get == nullptr || FAILED(get(GetCurrentThread(), &text)) || text == nullptr) {
        return {};
    }
    char utf8[64] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8) - 1, nullptr, nullptr);
    LocalFree(text);
    return utf8;
#else
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
#endif
}

TEST(PlatformSeam, ThreadsAreNamedAndTimeIsLocal) {
    std::string seen;
    long id = 0;
    std::thread worker([&] {
        dd::platform::nameThisThread("dd-seam-test");
        seen = threadName();
        id = dd::platform::thisThreadId();
    });
    worker.join();
    EXPECT_GT(id, 0);
    EXPECT_NE(id, dd::platform::thisThreadId());

    dd::platform::LocalTime now = dd::platform::localTimeNow();
    EXPECT_GE(now.year, 2020);
    EXPECT_TRUE(now.month >= 1 && now.month <= 12 && now.day >= 1 && now.day <= 31);
    EXPECT_TRUE(now.hour < 24 && now.minute < 60 && now.second <= 60 && now.millisecond < 1000);

#ifdef _WIN32
    if (seen.empty()) {
        GTEST_SKIP() << "this system keeps no thread names";
    }
#endif
    EXPECT_EQ(seen, "dd-seam-test");
}

}  // namespace
