// What every command needs before it talks to the adb server: a server that
// answers on the port (started once with "adb start-server" when none does),
// its protocol version, and the rule that a server of another adb version
// belongs to another program and is never killed or replaced by us.
#pragma once

#include <cstdint>
#include <string>

#include "bounded_output.h"
#include "deadline.h"
#include "host_connection.h"

namespace devctl {

struct ServerContext {
    uint16_t port;
    const Deadline& deadline;
    BoundedOutput& output;
    // Set when starting a server failed; its line is in the output already.
    int startFailure = 0;
};

// Asks host:version; Ok with version set, or why not.
IoStatus queryServerVersion(uint16_t port, const Deadline& deadline, int& version);

// Makes sure a server answers: on "connection refused" runs
// "adb -P PORT start-server" once (one caller at a time; the others then find
// the server it started) and asks again. Returns an ADBCMD_ code; on failure
// the output holds the line the adb client prints.
int ensureServer(ServerContext& context, int& version);

// Connects to the server; when nothing listens, makes sure one does
// (ensureServer) and connects again. A failed start is kept in the context
// and reported by reportIoFailure.
IoStatus connectStartingServer(HostConnection& connection, ServerContext& context);

// Protocol version of the installed adb client ("adb version": 1.0.41 -> 41),
// asked once per load of the library; 0 when it cannot be told.
int installedClientVersion(const Deadline& deadline);

// ADBCMD_OK when the running server may be handed to the installed client
// (which would kill a server of another version); else ADBCMD_VERSION_CLASH
// with a line naming both versions in the output.
int checkVersionsMatch(ServerContext& context, int serverVersion);

// Maps an I/O failure of a step to an ADBCMD_ code and writes the error line.
int reportIoFailure(ServerContext& context, IoStatus status, const char* step);

}  // namespace devctl
