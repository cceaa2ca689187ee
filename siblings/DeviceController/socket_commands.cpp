#include "socket_commands.h"

#include <algorithm>

#include "controller_log.h"
#include "devicedetect/DeviceController.h"

namespace devctl {
namespace {

// Selects the phone on a fresh connection, as the client does for every
// command that goes to one phone. okay false: failMessage says why.
IoStatus openTransport(HostConnection& connection, ServerContext& context,
                       const std::string& serial, bool& okay, std::string& failMessage) {
    IoStatus status = connectStartingServer(connection, context);
    if (status == IoStatus::Ok) {
        status = connection.sendRequest(serial.empty() ? "host:tport:any"
                                                       : "host:tport:serial:" + serial);
    }
    if (status == IoStatus::Ok) {
        status = connection.readStatus(okay, failMessage);
    }
    if (status == IoStatus::Ok && okay) {
        char transportId[8];
        status = connection.readExact(transportId, sizeof(transportId));
    }
    return status;
}

int runDevices(ServerContext& context, bool longForm) {
    HostConnection connection(context.deadline);
    IoStatus status = connectStartingServer(connection, context);
    if (status == IoStatus::Ok) {
        status = connection.sendRequest(longForm ? "host:devices-l" : "host:devices");
    }
    bool okay = false;
    std::string text;
    if (status == IoStatus::Ok) {
        status = connection.readStatus(okay, text);
    }
    if (status == IoStatus::Ok && okay) {
        status = connection.readPayload(text);
    }
    if (status != IoStatus::Ok) {
        return reportIoFailure(context, status, "host:devices");
    }
    // The client's error line is unbuffered and reaches a pipe before the
    // heading, which stdout only flushes at exit.
    if (!okay) {
        context.output.append("error: " + text + "\n");
        context.output.append("List of devices attached\n");
    } else {
        context.output.append("List of devices attached\n" + text + "\n");
    }
    return ADBCMD_OK;
}

int runShell(ServerContext& context, const std::string& serial,
             const std::vector<std::string>& command) {
    std::string line;
    for (size_t i = 1; i < command.size(); ++i) {
        line += (i > 1 ? " " : "") + command[i];
    }
    HostConnection connection(context.deadline);
    bool okay = false;
    std::string failMessage;
    IoStatus status = openTransport(connection, context, serial, okay, failMessage);
    if (status == IoStatus::Ok && okay) {
        status = connection.sendRequest("shell:" + line);
        if (status == IoStatus::Ok) {
            status = connection.readStatus(okay, failMessage);
        }
    }
    if (status != IoStatus::Ok) {
        return reportIoFailure(context, status, "shell");
    }
    if (!okay) {
        context.output.append("error: " + failMessage + "\n");
        return ADBCMD_OK;
    }
    // The raw shell stream runs to EOF. Once the buffer is full the rest is
    // not wanted: the connection is closed instead of read to its end.
    char buffer[16384];
    while (!context.output.full()) {
        size_t got = 0;
        status = connection.readSome(buffer, std::min(sizeof(buffer), context.output.room()), got);
        if (status == IoStatus::Closed) {
            return ADBCMD_OK;
        }
        if (status != IoStatus::Ok) {
            return reportIoFailure(context, status, "shell output");
        }
        context.output.append(std::string_view(buffer, got));
    }
    return ADBCMD_OK;
}

int runQuery(ServerContext& context, const std::string& request) {
    HostConnection connection(context.deadline);
    IoStatus status = connectStartingServer(connection, context);
    if (status == IoStatus::Ok) {
        status = connection.sendRequest(request);
    }
    bool okay = false;
    std::string text;
    if (status == IoStatus::Ok) {
        status = connection.readStatus(okay, text);
    }
    if (status == IoStatus::Ok && okay) {
        status = connection.readPayload(text);
    }
    if (status != IoStatus::Ok) {
        return reportIoFailure(context, status, request.c_str());
    }
    context.output.append(okay ? text + "\n" : "error: " + text + "\n");
    return ADBCMD_OK;
}

// forward LOCAL REMOTE, --no-rebind, --remove LOCAL, --remove-all.
int runForward(ServerContext& context, const std::string& serial,
               const std::vector<std::string>& command) {
    std::string request;
    bool creates = false;
    if (command[1] == "--remove") {
        request = "host:killforward:" + command[2];
    } else if (command[1] == "--remove-all") {
        request = "host:killforward-all";
    } else {
        bool noRebind = command[1] == "--no-rebind";
        request = std::string("host:forward:") + (noRebind ? "norebind:" : "") +
                  command[noRebind ? 2 : 1] + ";" + command[noRebind ? 3 : 2];
        creates = true;
    }
    HostConnection connection(context.deadline);
    bool okay = false;
    std::string failMessage;
    IoStatus status = openTransport(connection, context, serial, okay, failMessage);
    if (status == IoStatus::Ok && okay) {
        status = connection.sendRequest(request);
        if (status == IoStatus::Ok) {
            status = connection.readStatus(okay, failMessage);
        }
    }
    // The second OKAY says the listener is in place; some servers close
    // right after it, or even before it once the first OKAY is out.
    if (status == IoStatus::Ok && okay && creates) {
        IoStatus second = connection.readStatus(okay, failMessage);
        if (second == IoStatus::Ok && okay) {
            // Then the port the server bound, for tcp:0 and for an explicit
            // port alike (a forward that was in place already gets none);
            // the client prints it, and so does this.
            std::string port;
            if (connection.readPayload(port) == IoStatus::Ok && !port.empty()) {
                context.output.append(port + "\n");
            }
        } else if (second != IoStatus::Ok && second != IoStatus::Closed) {
            status = second;
        } else if (second == IoStatus::Closed) {
            okay = true;
        }
    }
    if (status != IoStatus::Ok) {
        return reportIoFailure(context, status, "forward");
    }
    if (!okay) {
        context.output.append("adb: error: " + failMessage + "\n");
    }
    return ADBCMD_OK;
}

// Asks the server to exit and waits until it has closed the connection,
// which it does on its way out. A server of another adb version is left
// alone; no server at all is what the client reports, and not a failure.
int runKillServer(ServerContext& context) {
    int version = 0;
    IoStatus status = queryServerVersion(context.port, context.deadline, version);
    if (status == IoStatus::Refused) {
        context.output.append("cannot connect to daemon at tcp:" + std::to_string(context.port) +
                              ": Connection refused\n");
        return ADBCMD_OK;
    }
    if (status != IoStatus::Ok) {
        return reportIoFailure(context, status, "host:version");
    }
    if (int clash = checkVersionsMatch(context, version); clash != ADBCMD_OK) {
        return clash;
    }
    HostConnection connection(context.deadline);
    status = connection.connect(context.port);
    if (status == IoStatus::Ok) {
        status = connection.sendRequest("host:kill");
    }
    bool okay = false;
    std::string failMessage;
    if (status == IoStatus::Ok) {
        status = connection.readStatus(okay, failMessage);
    }
    while (status == IoStatus::Ok && okay) {
        char rest[256];
        size_t got = 0;
        status = connection.readSome(rest, sizeof(rest), got);
    }
    if (status == IoStatus::Closed || (status == IoStatus::Ok && !okay)) {
        logLine(LogKind::Info,
                "asked the adb server on tcp:" + std::to_string(context.port) + " to exit");
        return ADBCMD_OK;
    }
    return reportIoFailure(context, status, "host:kill");
}

}  // namespace

bool isSocketCommand(const std::vector<std::string>& command) {
    if (command.empty()) {
        return false;
    }
    const std::string& verb = command[0];
    const size_t n = command.size();
    if (verb == "devices") {
        return n == 1 || (n == 2 && command[1] == "-l");
    }
    if (verb == "kill-server") {
        return n == 1;
    }
    if (verb == "shell") {
        // Options (-t, -T, -x, -n ...) and an interactive shell are left to the client.
        return n >= 2 && !command[1].empty() && command[1][0] != '-';
    }
    if (verb == "forward" && n >= 2) {
        if (command[1] == "--list" || command[1] == "--remove-all") {
            return n == 2;
        }
        if (command[1] == "--remove") {
            return n == 3;
        }
        if (command[1] == "--no-rebind") {
            return n == 4;
        }
        return n == 3 && command[1][0] != '-';
    }
    return false;
}

int runSocketCommand(ServerContext& context, const std::string& serial,
                     const std::vector<std::string>& command) {
    const std::string& verb = command[0];
    if (verb == "kill-server") {
        return runKillServer(context);
    }
    if (verb == "devices") {
        return runDevices(context, command.size() == 2);
    }
    if (verb == "shell") {
        return runShell(context, serial, command);
    }
    if (command[1] == "--list") {
        return runQuery(context, serial.empty() ? "host:list-forward"
                                                : "host-serial:" + serial + ":list-forward");
    }
    return runForward(context, serial, command);
}

}  // namespace devctl
