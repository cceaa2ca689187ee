// devicedetect-host shows BREW phones from the detected-device store as
// they come and go: the real program, started by the test in a sandbox,
// with a simulated BREW phone plugged into the sandbox's USB tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "brew_phone.h"
#include "fake_usb_tree.h"
#include "test_env.h"

namespace {

// The host program with its standard output on a pipe; ended (and reaped)
// by the test that started it.
class HostProcess {
  public:
    explicit HostProcess(const std::string& moduleDir) {
        int pipeFds[2];
        int inFds[2];
        if (pipe(pipeFds) != 0) {
            return;
        }
        if (pipe(inFds) != 0) {
            close(pipeFds[0]);
            close(pipeFds[1]);
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(pipeFds[1], STDOUT_FILENO);
            dup2(inFds[0], STDIN_FILENO);
            close(pipeFds[0]);
            close(inFds[1]);
            std::string program = std::string(DD_TEST_BIN_DIR) + "/devicedetect-host";
            execl(program.c_str(), program.c_str(), "--json", "--module-dir", moduleDir.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        close(inFds[0]);
        m_out = pipeFds[0];
        m_in = inFds[1];
    }
    ~HostProcess() {
        if (m_in >= 0) {
            close(m_in);
        }
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
        if (m_out >= 0) {
            close(m_out);
        }
    }
    bool started() const { return m_pid > 0 && m_out >= 0 && m_in >= 0; }
    // One command line on the host's standard input.
    bool send(const std::string& command) {
        std::string line = command + "\n";
        return write(m_in, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    }
    // Reads output until a line holds every one of the texts.
    bool waitForLine(std::initializer_list<std::string> texts,
                     std::chrono::seconds limit = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            size_t eol;
            while ((eol = m_pending.find('\n')) != std::string::npos) {
                std::string line = m_pending.substr(0, eol);
                m_pending.erase(0, eol + 1);
                bool all = true;
                for (const std::string& text : texts) {
                    all = all && line.find(text) != std::string::npos;
                }
                if (all) {
                    return true;
                }
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd pfd{m_out, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char buffer[4096];
            ssize_t n = read(m_out, buffer, sizeof(buffer));
            if (n <= 0) {
                return false;
            }
            m_pending.append(buffer, static_cast<size_t>(n));
        }
    }

  private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_in = -1;
    std::string m_pending;
};

// Shown as they come; taken out by the user's disconnect (by IMEI) or by
// the unplug.
TEST(BrewHostView, TheHostShowsBrewPhonesAsTheyComeAndGo) {
    ddtest::Sandbox sandbox;
    phonesim::FakeUsbTree tree(sandbox.sysfsRoot, sandbox.devRoot);
    HostProcess host(DD_TEST_MODULE_DIR);
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(host.waitForLine({"DeviceDetect started"}));

    phonesim::BrewPhoneSpec spec;
    spec.imei = "356938035643809";
    spec.battery = "55";
    phonesim::BrewPhone phone(spec);
    ASSERT_TRUE(phone.plug(tree));
    EXPECT_TRUE(host.waitForLine({"\"event\":\"BREW_DEVICE\"", "\"imei\":\"356938035643809\"",
                                  "\"model\":\"Orq Classic\"", "\"commport\":\"" + phone.tty(),
                                  "\"firmware\":\"BREW 3.1.5 Q6085\"", "\"battery\":\"55\""}));
    // The phone's thread takes disconnects once it has recorded the phone.
    ASSERT_TRUE(
        sandbox.waitForLog("brew phone 356938035643809 saved to the detected-device store"));
    // An IMEI the store does not hold is no BREW phone: it is looked up among
    // the announced phones and refused there.
    ASSERT_TRUE(host.send("disconnect 356938035643899"));
    EXPECT_TRUE(host.waitForLine({"no ready phone with serial 356938035643899"}));
    ASSERT_TRUE(host.send("disconnect 356938035643809"));
    EXPECT_TRUE(host.waitForLine({"disconnect 356938035643809: ok"}));
    // Still plugged in, yet out of the store.
    EXPECT_TRUE(host.waitForLine({"\"event\":\"BREW_REMOVED\"", "356938035643809"}));

    spec.imei = "356938035643810";
    spec.port = "1-2";
    phonesim::BrewPhone second(spec);
    ASSERT_TRUE(second.plug(tree));
    ASSERT_TRUE(host.waitForLine({"\"event\":\"BREW_DEVICE\"", "356938035643810"}));
    second.unplug();
    EXPECT_TRUE(host.waitForLine({"\"event\":\"BREW_REMOVED\"", "356938035643810"}));
    phone.unplug();
}

}  // namespace
