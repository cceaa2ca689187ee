// `phonesim machine` in a process of its own, driven through its standard
// input the way scripts/demo drives it: the benchmark's process then holds
// only the module, as a host process does on a machine whose phones are
// outside it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "test_env.h"

extern char** environ;

namespace ddbench {

class MachineProcess {
  public:
    MachineProcess(const std::string& sysfsRoot, const std::string& devRoot,
                   const std::string& portFile) {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string program = std::string(DD_TEST_BIN_DIR) + "/phonesim";
        std::vector<std::string> words{program, "machine", "--sysfs",     sysfsRoot,
                                       "--dev", devRoot,   "--port-file", portFile};
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
        // The first line names the adb port once the server listens.
        std::string line;
        if (m_pid > 0 && readLine(line, std::chrono::seconds(10)) &&
            line.rfind("adb server on 127.0.0.1:", 0) == 0) {
            m_adbPort = static_cast<uint16_t>(std::stoi(line.substr(24)));
        }
    }
    ~MachineProcess() {
        send("quit\n");
        if (m_in >= 0) {
            close(m_in);
        }
        if (m_pid > 0) {
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
        if (m_out >= 0) {
            close(m_out);
        }
    }
    MachineProcess(const MachineProcess&) = delete;
    MachineProcess& operator=(const MachineProcess&) = delete;

    uint16_t adbPort() const { return m_adbPort; }
    pid_t pid() const { return m_pid; }

    // Writes command lines at once and waits for one answer per line; the
    // number that answered "ok".
    int run(const std::vector<std::string>& lines,
            std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
        std::string all;
        for (const std::string& line : lines) {
            all += line + "\n";
        }
        if (!send(all)) {
            return 0;
        }
        int ok = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            std::string answer;
            if (!readLine(answer, deadline)) {
                break;
            }
            ok += answer.rfind("ok ", 0) == 0;
        }
        return ok;
    }

  private:
    bool send(const std::string& text) {
        size_t done = 0;
        while (m_in >= 0 && done < text.size()) {
            ssize_t n = write(m_in, text.data() + done, text.size() - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return done == text.size();
    }
    bool readLine(std::string& line, std::chrono::milliseconds deadline) {
        auto end = std::chrono::steady_clock::now() + deadline;
        for (;;) {
            size_t newline = m_buffer.find('\n');
            if (newline != std::string::npos) {
                line = m_buffer.substr(0, newline);
                m_buffer.erase(0, newline + 1);
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || m_out < 0) {
                return false;
            }
            pollfd fd{m_out, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char chunk[4096];
            ssize_t n = read(m_out, chunk, sizeof(chunk));
            if (n <= 0) {
                return false;
            }
            m_buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    uint16_t m_adbPort = 0;
    std::string m_buffer;
};

}  // namespace ddbench
