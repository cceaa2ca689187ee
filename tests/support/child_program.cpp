#include "child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>

extern char** environ;

namespace ddtest {

ChildProgram::ChildProgram(const std::vector<std::string>& argv, const std::vector<EnvChange>& env,
                           std::chrono::seconds limit, bool withInput) {
    // Everything exec needs is built before fork: the child only execs.
    std::map<std::string, std::string> vars;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        size_t eq = text.find('=');
        if (eq != std::string::npos) {
            vars[text.substr(0, eq)] = text.substr(eq + 1);
        }
    }
    for (const EnvChange& change : env) {
        if (change.value) {
            vars[change.name] = *change.value;
        } else {
            vars.erase(change.name);
        }
    }
    std::vector<std::string> envText;
    for (const auto& [name, value] : vars) {
        envText.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& text : envText) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& arg : args) {
        argp.push_back(arg.data());
    }
    argp.push_back(nullptr);

    int fds[2];
    int in[2] = {-1, -1};
    if (args.empty() || (withInput && pipe2(in, O_CLOEXEC) != 0)) {
        return;
    }
    if (pipe2(fds, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        int devNull = withInput ? in[0] : open("/dev/null", O_RDONLY);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
        }
        alarm(static_cast<unsigned>(limit.count()));  // kept across exec
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    if (withInput) {
        close(in[0]);
        m_in = in[1];
    }
    if (m_pid < 0) {
        close(fds[0]);
        return;
    }
    m_out = fds[0];
}

ChildProgram::~ChildProgram() {
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

bool ChildProgram::readSome(int timeoutMs) {
    pollfd pfd{m_out, POLLIN, 0};
    if (m_out < 0 || poll(&pfd, 1, timeoutMs) <= 0) {
        return false;
    }
    char buffer[4096];
    ssize_t n = read(m_out, buffer, sizeof(buffer));
    if (n <= 0) {
        close(m_out);
        m_out = -1;
        return false;
    }
    m_output.append(buffer, static_cast<size_t>(n));
    return true;
}

bool ChildProgram::waitForOutput(const std::string& text, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (m_output.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) {
            return m_output.find(text) != std::string::npos;
        }
    }
    return true;
}

bool ChildProgram::waitForLine(std::initializer_list<std::string> texts,
                               std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        for (size_t eol; (eol = m_output.find('\n', m_linesSeen)) != std::string::npos;) {
            std::string line = m_output.substr(m_linesSeen, eol - m_linesSeen);
            m_linesSeen = eol + 1;
            bool all = true;
            for (const std::string& text : texts) {
                all = all && line.find(text) != std::string::npos;
            }
            if (all) {
                return true;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) {
            return false;
        }
    }
}

bool ChildProgram::send(const std::string& text) {
    return m_in >= 0 && write(m_in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int ChildProgram::stop(int signal) {
    if (m_pid > 0) {
        kill(m_pid, signal);
    }
    return finish();
}

int ChildProgram::finish() {
    if (m_pid <= 0) {
        return -1;
    }
    if (m_in >= 0) {
        close(m_in);  // a program reading its input sees the end
        m_in = -1;
    }
    while (m_out >= 0) {
        readSome(-1);  // the alarm bounds this: the output closes when the program ends
    }
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    if (WIFSIGNALED(status)) {
        return -WTERMSIG(status);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<ChildProgram::EnvChange> withoutHome() {
    std::string asan = "verify_asan_link_order=0";
    if (const char* old = std::getenv("ASAN_OPTIONS"); old != nullptr && *old != 0) {
        asan = std::string(old) + ":" + asan;
    }
    return {
        {"LD_PRELOAD", std::string(DD_TEST_NO_PASSWD_LIBRARY)},
        // The preloaded library comes before the sanitizer's runtime.
        {"ASAN_OPTIONS", asan},
        {"HOME", std::nullopt},
        {"XDG_DATA_HOME", std::nullopt},
        {"XDG_CONFIG_HOME", std::nullopt},
    };
}

}  // namespace ddtest
