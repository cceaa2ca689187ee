// Runs the adb binary as a child with an argument vector (never through a
// shell, so nothing in a serial number or a path is interpreted), captures
// its standard output and error together, and kills it when the deadline
// passes: the real client waits forever for a phone that has gone.
#pragma once

#include <string>
#include <vector>

#include "bounded_output.h"
#include "deadline.h"

namespace devctl {

struct ChildResult {
    enum class Status { Exited, TimedOut, SpawnFailed };
    Status status = Status::SpawnFailed;
    int exitCode = -1;   // when Exited: the exit status, or 128 + signal
    int spawnError = 0;  // when SpawnFailed: errno
};

// argv[0] is the program (looked up on PATH when it holds no '/').
// Output beyond the buffer is read and dropped, so the child never blocks on
// a full pipe.
ChildResult runChild(const std::vector<std::string>& argv, const Deadline& deadline,
                     BoundedOutput& output);

// DEVICEDETECT_ADB, else "adb".
std::string adbBinary();

}  // namespace devctl
