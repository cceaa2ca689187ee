// The commands spoken straight to the adb server: devices, shell, forward and
// kill-server. Each leaves in the output what the adb client prints for the
// same command line (its error lines included) and returns an ADBCMD_ code.
#pragma once

#include <string>
#include <vector>

#include "server_session.h"

namespace devctl {

// True when the command line is one of the forms handled here.
bool isSocketCommand(const std::vector<std::string>& command);

// serial: the -s value, empty for "the only phone". A server is started
// when none answers (ensureServer), except for kill-server. The server's
// version is not asked here: these commands never kill or replace a server,
// so a server of any version serves them, and asking would cost a connection
// per command.
int runSocketCommand(ServerContext& context, const std::string& serial,
                     const std::vector<std::string>& command);

}  // namespace devctl
