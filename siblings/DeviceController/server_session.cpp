#include "server_session.h"

#include <mutex>
#include <string>

#include "child_process.h"
#include "controller_log.h"
#include "deadline_gate.h"
#include "devicedetect/DeviceController.h"

namespace devctl {
namespace {

// A command waiting behind another's "adb start-server" or "adb version"
// still ends at its own deadline.
DeadlineGate g_startGate;  // one "adb start-server" at a time
DeadlineGate g_clientVersionGate;
int g_clientVersion = 0;  // guarded by g_clientVersionGate; 0 = not known yet

std::string noServerLine(uint16_t port) {
    return "cannot connect to daemon at tcp:" + std::to_string(port) + ": Connection refused\n";
}

}  // namespace

IoStatus queryServerVersion(uint16_t port, const Deadline& deadline, int& version) {
    HostConnection connection(deadline);
    IoStatus status = connection.connect(port);
    if (status == IoStatus::Ok) {
        status = connection.sendRequest("host:version");
    }
    bool okay = false;
    std::string fail;
    if (status == IoStatus::Ok) {
        status = connection.readStatus(okay, fail);
    }
    std::string payload;
    if (status == IoStatus::Ok) {
        status = okay ? connection.readPayload(payload) : IoStatus::Broken;
    }
    if (status != IoStatus::Ok) {
        return status;
    }
    if (payload.size() != 4) {
        return IoStatus::Broken;
    }
    version = 0;
    for (char c : payload) {
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0) {
            return IoStatus::Broken;
        }
        version = version * 16 + digit;
    }
    return IoStatus::Ok;
}

int reportIoFailure(ServerContext& context, IoStatus status, const char* step) {
    if (context.startFailure != ADBCMD_OK) {
        return context.startFailure;
    }
    std::string where = std::string(step) + " on tcp:" + std::to_string(context.port);
    switch (status) {
        case IoStatus::Ok:
            return ADBCMD_OK;
        case IoStatus::Refused:
            context.output.append(noServerLine(context.port));
            logLine(LogKind::Err, "no adb server answers: " + where);
            return ADBCMD_NO_SERVER;
        case IoStatus::TimedOut:
            context.output.append("error: the adb server did not answer in time (" + where + ")\n");
            logLine(LogKind::Err, "time limit passed: " + where);
            return ADBCMD_TIMED_OUT;
        case IoStatus::Closed:
        case IoStatus::Broken:
            context.output.append("error: protocol fault (" + where + "): " + describe(status) +
                                  "\n");
            logLine(LogKind::Err,
                    std::string("protocol fault: ") + describe(status) + ", " + where);
            return ADBCMD_PROTOCOL_ERROR;
    }
    return ADBCMD_PROTOCOL_ERROR;
}

int ensureServer(ServerContext& context, int& version) {
    IoStatus status = queryServerVersion(context.port, context.deadline, version);
    if (status == IoStatus::Refused) {
        GateHold hold(g_startGate, context.deadline.end());
        if (!hold.held()) {
            return reportIoFailure(context, IoStatus::TimedOut,
                                   "waiting for another adb start-server");
        }
        status = queryServerVersion(context.port, context.deadline, version);
        if (status == IoStatus::Refused) {
            logLine(LogKind::Info, "no adb server on tcp:" + std::to_string(context.port) +
                                       ", running adb start-server");
            ChildResult started =
                runChild({adbBinary(), "-P", std::to_string(context.port), "start-server"},
                         context.deadline, context.output);
            if (started.status == ChildResult::Status::SpawnFailed) {
                logLine(LogKind::Err, "cannot run " + adbBinary() + " start-server");
            } else if (started.status == ChildResult::Status::TimedOut) {
                return reportIoFailure(context, IoStatus::TimedOut, "adb start-server");
            }
            status = queryServerVersion(context.port, context.deadline, version);
        }
    }
    return reportIoFailure(context, status, "host:version");
}

IoStatus connectStartingServer(HostConnection& connection, ServerContext& context) {
    IoStatus status = connection.connect(context.port);
    if (status != IoStatus::Refused) {
        return status;
    }
    int version = 0;
    if (int code = ensureServer(context, version); code != ADBCMD_OK) {
        context.startFailure = code;
        return IoStatus::Refused;
    }
    return connection.connect(context.port);
}

int installedClientVersion(const Deadline& deadline) {
    GateHold hold(g_clientVersionGate, deadline.end());
    if (!hold.held()) {
        return 0;  // unknown: the version check is skipped rather than the deadline missed
    }
    if (g_clientVersion > 0) {
        return g_clientVersion;
    }
    char text[512];
    BoundedOutput output(text, sizeof(text));
    ChildResult result = runChild({adbBinary(), "version"}, deadline, output);
    if (result.status != ChildResult::Status::Exited) {
        return 0;
    }
    // "Android Debug Bridge version 1.0.41"
    std::string_view printed = output.text();
    const std::string_view marker = "version 1.0.";
    size_t at = printed.find(marker);
    if (at == std::string_view::npos) {
        return 0;
    }
    int version = 0;
    for (size_t i = at + marker.size();
         i < printed.size() && printed[i] >= '0' && printed[i] <= '9'; ++i) {
        version = version * 10 + (printed[i] - '0');
        if (version > 0xffff) {
            return 0;
        }
    }
    g_clientVersion = version;
    return version;
}

int checkVersionsMatch(ServerContext& context, int serverVersion) {
    int client = installedClientVersion(context.deadline);
    if (client == 0 || client == serverVersion) {
        return ADBCMD_OK;  // an adb we cannot ask cannot replace the server either
    }
    std::string line = "error: adb server version (" + std::to_string(serverVersion) +
                       ") doesn't match this client (" + std::to_string(client) +
                       "); the server on tcp:" + std::to_string(context.port) +
                       " belongs to another program and is left running\n";
    context.output.append(line);
    logLine(LogKind::Err, line.substr(0, line.size() - 1));
    return ADBCMD_VERSION_CLASH;
}

}  // namespace devctl
