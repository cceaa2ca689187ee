// A program started by a test with its own changes to the environment, its
// standard output and error read together through one pipe. An alarm set
// before exec ends it after a time limit whatever it does, so a program that
// hangs fails its test instead of holding up the suite.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace ddtest {

class ChildProgram {
  public:
    struct EnvChange {
        std::string name;
        std::optional<std::string> value;  // nullopt: removed from the environment
    };

    // withInput: its standard input is a pipe that send() writes to (else /dev/null).
    ChildProgram(const std::vector<std::string>& argv, const std::vector<EnvChange>& env,
                 std::chrono::seconds limit, bool withInput = false);
    ~ChildProgram();  // ends a program still running (SIGTERM) and reaps it
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool started() const { return m_pid > 0; }
    // Reads output until it holds text; false at the deadline or when the
    // program closed its output first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds deadline);
    // Reads output until a line not looked at before holds every one of texts.
    bool waitForLine(std::initializer_list<std::string> texts, std::chrono::milliseconds deadline);
    bool send(const std::string& text);
    // Sends the signal, then as finish().
    int stop(int signal);
    // Reads until the program ends and reaps it: its exit code, or minus the
    // signal that ended it (-SIGALRM when it ran out of time).
    int finish();
    const std::string& output() const { return m_output; }

  private:
    bool readSome(int timeoutMs);

    pid_t m_pid = -1;
    int m_out = -1;
    int m_in = -1;
    size_t m_linesSeen = 0;  // bytes of m_output whose lines waitForLine has looked at
    std::string m_output;
};

// A child's environment as a user without a home folder would have it: no
// HOME or XDG folders, and a preloaded library that takes the password entry
// away (getpwuid and friends find nothing).
std::vector<ChildProgram::EnvChange> withoutHome();

}  // namespace ddtest
