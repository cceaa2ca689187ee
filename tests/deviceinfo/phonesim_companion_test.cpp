// "phonesim companion" as the demo runs it: a separate process serving one
// phone until it is told to stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "deviceinfo/android_device_info.h"

namespace {

class PhonesimProcess {
  public:
    explicit PhonesimProcess(const std::string& arguments) {
        std::string command =
            std::string("exec ") + DD_TEST_BIN_DIR + "/phonesim companion " + arguments;
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        m_out = fdopen(out[0], "r");
    }
    ~PhonesimProcess() {
        finish(SIGKILL);
        if (m_out != nullptr)
            fclose(m_out);
    }
    PhonesimProcess(const PhonesimProcess&) = delete;
    PhonesimProcess& operator=(const PhonesimProcess&) = delete;

    std::string line() {
        char buffer[256] = {};
        return m_out != nullptr && fgets(buffer, sizeof(buffer), m_out) != nullptr ? buffer : "";
    }
    // Sends the signal and returns the exit status.
    int finish(int signal) {
        int status = -1;
        if (m_pid > 0) {
            kill(m_pid, signal);
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
        return status;
    }

  private:
    pid_t m_pid = -1;
    FILE* m_out = nullptr;
};

TEST(PhonesimCompanion, ServesTheConfiguredPhoneUntilSigterm) {
    PhonesimProcess phonesim("--port 0 --imei 867530900000042 --serial CMDLINE1 --version-code 40");
    std::string banner = phonesim.line();
    size_t colon = banner.rfind(':');
    ASSERT_NE(colon, std::string::npos) << banner;
    int port = std::stoi(banner.substr(colon + 1));

    AndroidDeviceInfo info;
    ASSERT_EQ(info.QueryDeviceInfo("127.0.0.1", port, port, "k"), 1);
    EXPECT_EQ(info.imei, "867530900000042");
    EXPECT_EQ(info.serialNumber(), "CMDLINE1");
    EXPECT_EQ(info.versionCode, 40);

    int status = phonesim.finish(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(phonesim.line(), "companion service stopped: 1 requests, 0 sync ends\n");
}

TEST(PhonesimCompanion, RefusesUnknownOptions) {
    PhonesimProcess phonesim("--fault sideways");
    int status = phonesim.finish(0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
}

}  // namespace
