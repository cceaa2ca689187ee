#include "child_process.h"

#include <cstdlib>

#include "platform/child_process.h"

namespace devctl {

std::string adbBinary() {
    const char* configured = std::getenv("DEVICEDETECT_ADB");
    return configured != nullptr && *configured != 0 ? configured : "adb";
}

ChildResult runChild(const std::vector<std::string>& argv, const Deadline& deadline,
                     BoundedOutput& output) {
    // "adb start-server" leaves a server behind that may hold the output
    // open: the platform notices the child's own end.
    dd::platform::ChildRun run = dd::platform::runChild(
        argv, deadline.end(), [&output](std::string_view text) { output.append(text); });
    ChildResult result;
    switch (run.status) {
        case dd::platform::ChildRun::Status::Exited:
            result.status = ChildResult::Status::Exited;
            break;
        case dd::platform::ChildRun::Status::TimedOut:
            result.status = ChildResult::Status::TimedOut;
            break;
        case dd::platform::ChildRun::Status::SpawnFailed:
            result.status = ChildResult::Status::SpawnFailed;
            break;
    }
    result.exitCode = run.exitCode;
    result.spawnError = run.spawnError;
    return result;
}

}  // namespace devctl
