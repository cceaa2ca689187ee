// phonesim: plays phones for the module's tests and the demo.
#include <cstdio>
#include <cstring>
#include <string>

#include "adb_command.h"
#include "adb_device_command.h"
#include "command_line.h"
#include "companion_service.h"
#include "machine_command.h"
#include "sync_tool.h"
#include "usb_command.h"

namespace {

struct Command {
    const char* name;
    const char* what;
    int (*run)(int argc, char** argv);  // argv[0] is the command's name
};

constexpr Command kCommands[] = {
    {"adb", "an emulated adb server with fake phones", phonesim::runAdbCommand},
    {"adb-device", "a phone on adb's TCP transport, for a real adb server",
     phonesim::runAdbDeviceCommand},
    {"companion", "the companion service of a phone", phonesim::runCompanionCommand},
    {"machine", "a machine with whole phones: USB tree, adb, services",
     phonesim::runMachineCommand},
    {"sync-tool", "the sync tool of a phone (ports 7890 and 7990)", phonesim::runSyncToolCommand},
    {"usb", "plug and unplug devices of a fake USB tree", phonesim::runUsbCommand},
};

cli::Spec commandLine() {
    cli::Spec spec;
    spec.program = "phonesim";
    spec.usage = "phonesim COMMAND [OPTION]...";
    spec.description = "Plays phones for trying and testing DeviceDetect without any.";
    spec.footer = "Commands (phonesim COMMAND --help lists the options of each):\n";
    for (const Command& command : kCommands) {
        char line[128];
        std::snprintf(line, sizeof(line), "  %-11s %s\n", command.name, command.what);
        spec.footer += line;
    }
    spec.version = DD_VERSION;
    return spec;
}

}  // namespace

int main(int argc, char** argv) {
    cli::Parser parser(commandLine());
    // An option before the command is phonesim's own (--help, --version):
    // anything else there is an error, and the rest is not looked at.
    int status = -1;
    if (argc >= 2 && argv[1][0] == '-') {
        status = parser.run(2, argv, [](const cli::Option&, const char*) { return std::string(); });
    }
    if (status >= 0) {
        return status;
    }
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "phonesim: a command is needed (see phonesim --help)\n");
        return 2;
    }
    for (const Command& command : kCommands) {
        if (std::strcmp(argv[1], command.name) == 0) {
            return command.run(argc - 1, argv + 1);
        }
    }
    std::fprintf(stderr, "phonesim: unknown command '%s' (see phonesim --help)\n", argv[1]);
    return 2;
}
