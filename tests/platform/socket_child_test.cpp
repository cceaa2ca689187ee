// Sockets, waits and child programs as the module's layers use them, on
// loopback and with this test program itself as the child: the same cases
// run on every system the module is built for.
// Winsock's header (it brings windows.h) must come before googletest's.
#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "platform/exit_flag.h"
#include "platform/shared_library.h"
#include "platform/stream_socket.h"
#include "platform/tcp_socket.h"
#include "platform/udp_socket.h"
#include "platform/wake_handle.h"

#ifdef _WIN32
#include <windows.h>
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using dd::platform::UniqueFd;

constexpr int kNoLimit = -1;
constexpr const char* kActVariable = "DD_TEST_CHILD_ACT";
constexpr const char* kPortVariable = "DD_TEST_CHILD_PORT";

// A loopback listener on a free port: the only server code a test needs.
class Listener {
  public:
    Listener() : m_fd(dd::platform::createTcpSocket()) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (!m_fd ||
            bind(sock(m_fd.get()), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(sock(m_fd.get()), 4) != 0) {
            return;
        }
        socklen_t length = sizeof(address);
        if (getsockname(sock(m_fd.get()), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            m_port = ntohs(address.sin_port);
        }
    }
    uint16_t port() const { return m_port; }
    UniqueFd accept() const {
        return UniqueFd(static_cast<int>(::accept(sock(m_fd.get()), nullptr, nullptr)));
    }
    static bool sendText(const UniqueFd& fd, const std::string& text) {
        return send(sock(fd.get()), text.data(), static_cast<int>(text.size()), 0) ==
               static_cast<int>(text.size());
    }

  private:
#ifdef _WIN32
    using socklen_t = int;
    static SOCKET sock(int fd) {
        return static_cast<SOCKET>(fd);
    }
#else
    static int sock(int fd) {
        return fd;
    }
#endif
    UniqueFd m_fd;
    uint16_t m_port = 0;
};

// Empty removes the variable.
void setVariable(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
#endif
}

std::string thisProgram() {
#ifdef _WIN32
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    char utf8[4 * MAX_PATH] = {};
    WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), utf8, sizeof(utf8), nullptr,
                        nullptr);
    // With the separator the module's own paths use.
    std::string program = utf8;
    std::replace(program.begin(), program.end(), '\\', '/');
    return program;
#else
    char path[4096] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
#endif
}

// What this program does when a test starts it as a child (the variable
// says what); a plain run skips it.
TEST(ChildProgram, ActsOnlyWhenStartedAsAChild) {
    const char* act = std::getenv(kActVariable);
    if (act == nullptr || *act == '\0') {
        GTEST_SKIP() << "not started as a child";
    }
    if (std::string(act) == "hang") {
        // Holds a connection to the parent, whose close tells the parent
        // that this process has gone.
        const char* port = std::getenv(kPortVariable);
        UniqueFd link = dd::platform::connectTcp4(
            "127.0.0.1", static_cast<uint16_t>(std::atoi(port != nullptr ? port : "0")), 30s,
            nullptr);
        std::promise<void>().get_future().wait();  // until the parent ends it
    }
    // Every word after the filter, one line each between markers, then a
    // line on the error stream and a known exit code.
    std::string words = "<args>\n";
    const std::vector<std::string> argv = testing::internal::GetArgvs();
    for (size_t i = 2; i < argv.size(); ++i) {
        words += "[" + argv[i] + "]\n";
    }
    words += "</args>\n";
    std::fputs(words.c_str(), stdout);
    std::fflush(stdout);
    std::fputs("<stderr/>\n", stderr);
    std::fflush(stderr);
    std::_Exit(7);
}

dd::platform::ChildRun runSelf(const char* act, const std::vector<std::string>& words,
                               Clock::duration limit, std::string& output) {
    std::vector<std::string> argv = {thisProgram(), "--gtest_filter=ChildProgram.*"};
    argv.insert(argv.end(), words.begin(), words.end());
    setVariable(kActVariable, act);
    dd::platform::ChildRun run = dd::platform::runChild(
        argv, Clock::now() + limit, [&output](std::string_view part) { output += part; });
    setVariable(kActVariable, "");
    // A Windows child writes its lines in text mode, with "\r\n".
    std::erase(output, '\r');
    return run;
}

TEST(ChildRun, TheChildsWordsOutputAndExitCodeComeBack) {
    const std::vector<std::string> words = {"plain",     "two words", "say \"hi\"", "back\\slash\\",
                                            "tail \\\\", "",          "tab\tin"};
    std::string output;
    dd::platform::ChildRun run = runSelf("talk", words, 60s, output);
    ASSERT_EQ(run.status, dd::platform::ChildRun::Status::Exited) << run.spawnError;
    EXPECT_EQ(run.exitCode, 7);
    std::string expected = "<args>\n";
    for (const std::string& word : words) {
        expected += "[" + word + "]\n";
    }
    expected += "</args>\n";
    EXPECT_NE(output.find(expected), std::string::npos) << output;
    EXPECT_NE(output.find("<stderr/>"), std::string::npos) << output;
}

TEST(ChildRun, AChildPastItsDeadlineIsEnded) {
    std::string output;
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    setVariable(kPortVariable, std::to_string(listener.port()));
    dd::platform::ChildRun run = runSelf("hang", {}, 3s, output);
    setVariable(kPortVariable, "");
    EXPECT_EQ(run.status, dd::platform::ChildRun::Status::TimedOut);
    // The child's connection ends with the child; one left open would hold
    // this wait until the test's own time limit.
    UniqueFd fromChild = listener.accept();
    ASSERT_TRUE(fromChild.valid());
    ASSERT_TRUE(dd::platform::waitReadyOrWoken(fromChild.get(), dd::platform::Io::Read, nullptr,
                                               nullptr, kNoLimit)
                    .ready);
    char byte = 0;
    bool retry = false;
    EXPECT_LE(dd::platform::receiveSome(fromChild.get(), &byte, 1, retry), 0);
    EXPECT_FALSE(retry);
}

TEST(ChildRun, AProgramThatIsNotThereFailsToSpawn) {
    std::string output;
    dd::platform::ChildRun run = dd::platform::runChild(
        {thisProgram() + "-absent"}, Clock::now() + 10s, [&](std::string_view p) { output += p; });
    EXPECT_EQ(run.status, dd::platform::ChildRun::Status::SpawnFailed);
    EXPECT_NE(run.spawnError, 0);
}

TEST(SocketWait, AWakeEndsAWaitOnASilentSocket) {
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    int error = -1;
    UniqueFd client = dd::platform::connectTcp4("127.0.0.1", listener.port(), 10s, nullptr, &error);
    ASSERT_TRUE(client.valid()) << error;
    EXPECT_EQ(error, 0);
    UniqueFd server = listener.accept();
    ASSERT_TRUE(server.valid());

    dd::platform::WakeHandle wake;
    ASSERT_TRUE(wake.valid());
    std::thread waker([&wake] { wake.signal(); });
    dd::platform::Readiness r = dd::platform::waitReadyOrWoken(client.get(), dd::platform::Io::Read,
                                                               &wake, nullptr, kNoLimit);
    waker.join();
    EXPECT_TRUE(r.woken[0]);
    EXPECT_FALSE(r.ready || r.failed || r.timedOut);
    EXPECT_EQ(dd::platform::waitForInput(wake, client.get(), kNoLimit),
              dd::platform::WaitResult::Woken);

    // Drained, the wait sees the socket again: nothing yet, then the peer's bytes.
    wake.drain();
    EXPECT_EQ(dd::platform::waitForInput(wake, client.get(), 0),
              dd::platform::WaitResult::TimedOut);
    ASSERT_TRUE(Listener::sendText(server, "ping"));
    EXPECT_EQ(dd::platform::waitForInput(wake, client.get(), kNoLimit),
              dd::platform::WaitResult::Input);
    char buffer[16];
    bool retry = false;
    EXPECT_EQ(dd::platform::receiveSome(client.get(), buffer, sizeof(buffer), retry), 4);
    EXPECT_EQ(dd::platform::receiveSome(client.get(), buffer, sizeof(buffer), retry), -1);
    EXPECT_TRUE(retry);

    // The peer's close counts as input: the next read tells.
    server.reset();
    EXPECT_TRUE(dd::platform::waitReadyOrWoken(client.get(), dd::platform::Io::Read, nullptr,
                                               nullptr, kNoLimit)
                    .ready);
    EXPECT_EQ(dd::platform::receiveSome(client.get(), buffer, sizeof(buffer), retry), 0);
}

TEST(SocketConnect, RefusedStoppedAndMalformedAttemptsSayWhy) {
    const uint16_t closedPort = dd::platform::allocateLocalPort();
    ASSERT_NE(closedPort, 0);
    dd::ExitFlag stopped;
    stopped.request();
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    struct Case {
        const char* name;
        const char* address;
        uint16_t port;
        const dd::ExitFlag* stop;
        int error;
    };
    const Case cases[] = {
        {"nothing listens", "127.0.0.1", closedPort, nullptr, ECONNREFUSED},
        {"stopped before it began", "127.0.0.1", listener.port(), &stopped, ECANCELED},
        {"not a dotted address", "localhost", listener.port(), nullptr, EINVAL},
        {"a part above 255", "127.0.0.256", listener.port(), nullptr, EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int error = 0;
        UniqueFd fd = dd::platform::connectTcp4(c.address, c.port, 10s, c.stop, &error);
        EXPECT_FALSE(fd.valid());
        EXPECT_EQ(error, c.error);
    }

    dd::platform::StreamSocket stream;
    EXPECT_EQ(stream.connectLoopback(closedPort, Clock::now() + 10s),
              dd::platform::StreamStatus::Refused);
}

TEST(SocketConnect, AStreamCarriesBytesBothWaysAndSeesTheClose) {
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    dd::platform::StreamSocket stream;
    ASSERT_EQ(stream.connectLoopback(listener.port(), Clock::now() + 10s),
              dd::platform::StreamStatus::Ok);
    UniqueFd server = listener.accept();
    ASSERT_TRUE(server.valid());
    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(stream.sendAll(request.data(), request.size(), Clock::now() + 10s),
              dd::platform::StreamStatus::Ok);
    char buffer[64];
    size_t got = 0;
    EXPECT_EQ(stream.receiveNow(buffer, sizeof(buffer), got), dd::platform::StreamStatus::Ok);
    EXPECT_EQ(got, 0u);
    bool retry = false;
    std::string seen;
    while (seen.size() < request.size()) {
        ASSERT_TRUE(dd::platform::waitReadyOrWoken(server.get(), dd::platform::Io::Read, nullptr,
                                                   nullptr, kNoLimit)
                        .ready);
        long n = dd::platform::receiveSome(server.get(), buffer, sizeof(buffer), retry);
        ASSERT_TRUE(n > 0 || retry);
        seen.append(buffer, static_cast<size_t>(n > 0 ? n : 0));
    }
    EXPECT_EQ(seen, request);
    ASSERT_TRUE(Listener::sendText(server, "HTTP/1.0 200 OK\r\n"));
    server.reset();
    std::string reply;
    dd::platform::StreamStatus status = dd::platform::StreamStatus::Ok;
    while (status == dd::platform::StreamStatus::Ok) {
        status = stream.receiveSome(buffer, sizeof(buffer), got, Clock::now() + 10s);
        reply.append(buffer, got);
    }
    EXPECT_EQ(status, dd::platform::StreamStatus::Closed);
    EXPECT_EQ(reply, "HTTP/1.0 200 OK\r\n");
}

TEST(Ipv4Text, OnlyFourDecimalPartsAreAnAddress) {
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {{"127.0.0.1", true}, {"255.255.255.255", true}, {"0.0.0.0", true},
                          {"1.2.3", false},    {"1.2.3.4.5", false},      {"1.2.3.256", false},
                          {"1.2.3.4 ", false}, {"01.2.3.4", false},       {"a.b.c.d", false},
                          {"", false},         {"1..3.4", false},         {"0x7f.0.0.1", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::optional<uint32_t> parsed = dd::platform::parseIpv4(c.text);
        EXPECT_EQ(parsed.has_value(), c.valid);
        if (parsed) {
            EXPECT_EQ(dd::platform::formatIpv4(*parsed), c.text);
        }
    }
    EXPECT_EQ(dd::platform::parseIpv4("127.0.0.1"), htonl(INADDR_LOOPBACK));
}

TEST(SharedLibraryLoad, SymbolsOfASystemLibraryAndTheReasonForAMissingOne) {
#ifdef _WIN32
    const char* present = "kernel32.dll";
    const char* symbol = "GetCurrentProcessId";
#else
    const char* present = "libc.so.6";
    const char* symbol = "getpid";
#endif
    dd::platform::SharedLibrary library;
    ASSERT_TRUE(library.open(present));
    EXPECT_NE(library.symbol(symbol), nullptr);
    EXPECT_EQ(library.symbol("dd_no_such_symbol"), nullptr);

    dd::platform::SharedLibrary missing;
    std::string error;
    EXPECT_FALSE(missing.open(thisProgram() + "-absent.library", &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
