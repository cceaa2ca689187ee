// Runs a program as a child with an argument vector (never through a shell),
// hands its standard output and error, together, to the caller as they come,
// and kills it when the deadline passes.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dd::platform {

struct ChildRun {
    enum class Status { Exited, TimedOut, SpawnFailed };
    Status status = Status::SpawnFailed;
    int exitCode = -1;   // when Exited: the exit status, or 128 + signal
    int spawnError = 0;  // when SpawnFailed: the system's error number
};

// argv[0] is the program (looked up on PATH when it holds no '/'). The child
// reads the null device and inherits none of the caller's other handles.
// Its end is noticed even when something it left behind keeps its output
// open.
ChildRun runChild(const std::vector<std::string>& argv,
                  std::chrono::steady_clock::time_point deadline,
                  const std::function<void(std::string_view)>& onOutput);

}  // namespace dd::platform
