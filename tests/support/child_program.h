// A program started by a test with its own changes to the environment, its
// standard output and error read together through one pipe. An alarm set
// before exec ends it after a time limit whatever it does, so a program that
// hangs fails its test instead of holding up the suite.
#pragma once

#include <sys/types.h>

#include <chrono>
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

    ChildProgram(const std::vector<std::string>& argv, const std::vector<EnvChange>& env,
                 std::chrono::seconds limit);
    ~ChildProgram();  // ends a program still running (SIGTERM) and reaps it
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool started() const { return m_pid > 0; }
    // Reads output until it holds text; false at the deadline or when the
    // program closed its output first.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds deadline);
    // Reads until the program ends and reaps it: its exit code, or minus the
    // signal that ended it (-SIGALRM when it ran out of time).
    int finish();
    const std::string& output() const { return m_output; }

  private:
    bool readSome(int timeoutMs);

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_output;
};

// The library that makes this process look like a user without a password
// entry (getpwuid and friends find nothing), and the environment that
// preloads it into a child.
std::vector<ChildProgram::EnvChange> withoutPasswordEntry();

}  // namespace ddtest
