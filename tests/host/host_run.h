// A built program (devicedetect-host, phonesim) run to its end by a test.
#pragma once

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>

#include "test_env.h"

namespace ddtest {

struct ProgramRun {
    int exitCode = -1;
    std::string out, err;
    bool has(const std::string& text) const {
        return out.find(text) != std::string::npos || err.find(text) != std::string::npos;
    }
    // Whether the output holds every one of texts; fails naming those it lacks.
    ::testing::AssertionResult hasAll(std::initializer_list<std::string> texts) const {
        std::string lacking;
        for (const std::string& text : texts) {
            lacking += has(text) ? "" : "\n  " + text;
        }
        if (lacking.empty()) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "lacks:" << lacking << "\nin:\n" << out << err;
    }
};

// Runs the program with args (a shell word list) and no input; with merged,
// its standard error goes to out as well. A time limit: a program that
// takes a bad option for a run must not hang the test.
inline ProgramRun runProgram(const std::string& program, const std::string& args,
                             bool merged = false) {
    TempDir dir("ddrun");
    std::string command = "timeout 60 " + std::string(DD_TEST_BIN_DIR) + "/" + program + " " +
                          args + " >" + (dir / "out") + (merged ? " 2>&1" : " 2>" + (dir / "err")) +
                          " </dev/null";
    int status = std::system(command.c_str());
    ProgramRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readFile(dir / "out");
    run.err = merged ? "" : readFile(dir / "err");
    return run;
}

}  // namespace ddtest
