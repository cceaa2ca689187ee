// The entry points of libDeviceController.so.
#include "devicedetect/DeviceController.h"

#include <new>
#include <string>

#include "bounded_output.h"
#include "child_process.h"
#include "command_line.h"
#include "controller_log.h"
#include "deadline.h"
#include "device_tracker.h"
#include "disk_unmounter.h"
#include "server_session.h"
#include "socket_commands.h"
#include "utf16_text.h"

#define DEVCTL_EXPORT extern "C" __attribute__((visibility("default")))

namespace devctl {
namespace {

// Longest argument text taken: adb's requests carry at most 0xffff bytes.
constexpr int32_t kMaxArgumentUnits = 0x8000;

// Commands that never reach a server (and so must not start one).
bool isLocalCommand(const std::string& verb) {
    return verb == "version" || verb == "help" || verb == "--help" || verb == "--version";
}

int runWithAdbBinary(ServerContext& context, const AdbInvocation& invocation) {
    std::vector<std::string> argv{adbBinary()};
    argv.insert(argv.end(), invocation.words.begin(), invocation.words.end());
    ChildResult result = runChild(argv, context.deadline, context.output);
    switch (result.status) {
        case ChildResult::Status::Exited:
            return ADBCMD_OK;
        case ChildResult::Status::TimedOut:
            context.output.append("error: adb " + invocation.command[0] +
                                  " did not finish in time and was stopped\n");
            logLine(LogKind::Err,
                    "adb " + invocation.command[0] + " passed the time limit, killed");
            return ADBCMD_TIMED_OUT;
        case ChildResult::Status::SpawnFailed:
            break;
    }
    context.output.append("error: cannot run " + argv[0] + "\n");
    logLine(LogKind::Err,
            "cannot run " + argv[0] + " (errno " + std::to_string(result.spawnError) + ")");
    return ADBCMD_SPAWN_FAILED;
}

int runInvocation(const AdbInvocation& invocation, BoundedOutput& output) {
    const Deadline deadline(commandTimeLimit());
    ServerContext context{invocation.port != 0 ? invocation.port : serverPortFromEnvironment(),
                          deadline, output};
    const std::string& verb = invocation.command[0];
    if (isLocalCommand(verb)) {
        return runWithAdbBinary(context, invocation);
    }
    if (!invocation.otherGlobalOptions && isSocketCommand(invocation.command)) {
        return runSocketCommand(context, invocation.serial, invocation.command);
    }
    int serverVersion = 0;
    if (int code = ensureServer(context, serverVersion); code != ADBCMD_OK) {
        return code;
    }
    // The adb binary would kill a server of another version and start its own.
    if (int code = checkVersionsMatch(context, serverVersion); code != ADBCMD_OK) {
        return code;
    }
    return runWithAdbBinary(context, invocation);
}

}  // namespace
}  // namespace devctl

DEVCTL_EXPORT int32_t QX_RunAdbCmd(const char16_t* args, int32_t argsLen, char* out,
                                   int32_t outSize) {
    using namespace devctl;
    if (out == nullptr || outSize <= 0) {
        return ADBCMD_BAD_ARGUMENTS;
    }
    BoundedOutput output(out, static_cast<size_t>(outSize));
    if (argsLen < 0 || argsLen > kMaxArgumentUnits || (args == nullptr && argsLen > 0)) {
        return ADBCMD_BAD_ARGUMENTS;
    }
    AdbInvocation invocation;
    if (!parseInvocation(utf16ToUtf8(args, static_cast<size_t>(argsLen)), invocation) ||
        invocation.command.empty()) {
        output.append("adb: usage: no command given\n");
        return ADBCMD_BAD_ARGUMENTS;
    }
    return runInvocation(invocation, output);
}

DEVCTL_EXPORT uint16_t QX_UnmountDisk(DeviceRecord* record) {
    return devctl::unmountPhoneDisks(record);
}

DEVCTL_EXPORT void* QX_StartAdbTracking(QX_AdbTrackFn callback, void* context) {
    using namespace devctl;
    if (callback == nullptr) {
        return nullptr;
    }
    auto* tracker =
        new (std::nothrow) DeviceTracker(callback, context, serverPortFromEnvironment());
    if (tracker == nullptr) {
        return nullptr;
    }
    if (!tracker->start()) {
        delete tracker;
        return nullptr;
    }
    return tracker;
}

DEVCTL_EXPORT void QX_StopAdbTracking(void* tracker) {
    delete static_cast<devctl::DeviceTracker*>(tracker);
}
