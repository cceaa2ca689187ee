// devicedetect-host's command line: the options, their defaults and the
// help, all from one table (see tools/common/command_line.h).
#pragma once

#include <string>

#include "command_line.h"

struct HostOptions {
    std::string moduleDir;  // empty: the default folder, found by the caller
    bool json = false;      // JSON lines, for the notifications and for --check
    bool autoSync = false;
    bool check = false;
    double duration = 0;  // seconds; 0 runs until Ctrl-C or "quit"
    int loaderPort = 0;   // 0: the host does not play the loader's HTTP port
};

// The longest run --duration takes, in seconds (a year).
constexpr double kMaxDurationSeconds = 31536000;

// The table, usage and help text; defaultModuleDir is shown as the default
// of --module-dir.
cli::Spec hostCommandLine(const std::string& defaultModuleDir);

// Fills options from argv. -1 when the host is to run; otherwise the exit
// status, after the help or version (0) or one error line on stderr (2).
// Options that only a running host uses are refused with --check.
int parseHostOptions(int argc, char** argv, const std::string& defaultModuleDir,
                     HostOptions& options);
