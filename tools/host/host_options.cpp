#include "host_options.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/program_files.h"

namespace {

// The folder as it will be used: main() resolves it the same way.
std::string resolved(const std::string& folder) {
    return dd::platform::absolutePath(folder);
}

}  // namespace

cli::Spec hostCommandLine(const std::string& defaultModuleDir) {
    cli::Spec spec;
    spec.program = "devicedetect-host";
    spec.usage =
        "devicedetect-host [OPTION]...\n"
        "       devicedetect-host --check [--module-dir DIR] [--json]";
    spec.description =
        "Loads libDeviceDetect.so the way the Orq Sync suite does, starts phone detection "
        "and shows every notification. With --check it looks at this machine instead and "
        "says, one line each, what the module needs and what is missing.";
    spec.options = {
        {"module-dir", 'm', "DIR",
         "folder of the module and its files: $DEVICEDETECT_MODULE_DIR, else ../module beside "
         "this program, else the installed one",
         resolved(defaultModuleDir)},
        {"json", 'j', "", "one JSON object per line instead of the readable view", "off"},
        {"duration", 'd', "SECONDS",
         "stop after SECONDS seconds (0 to 31536000); 0 runs until Ctrl-C or \"quit\"", "0"},
        {"auto-sync", 'a', "",
         "answer a phone's sync request by beginning and ending a sync, instead of telling "
         "the module the host is ready; a request is answered only for the ready phone "
         "whose serial is its text",
         "off"},
        {"loader-port", 'l', "PORT",
         "play the suite loader's HTTP port on 127.0.0.1:PORT and show the Wi-Fi dispatch "
         "requests (set LoaderHttpPort=PORT in orqBRAXLoader.ini); 0 plays none",
         "0"},
        {"check", 'c', "",
         "look at this machine and say what the module needs and what is missing, one line "
         "each; exit 1 when something is",
         "off"},
    };
    spec.footer =
        "Commands on standard input: list, ready SERIAL, begin SERIAL, end SERIAL,\n"
        "disconnect SERIAL (a BREW phone by its IMEI), quit.\n"
        "Settings: orqBRAXLoader.ini in the module folder; the same file under\n"
        "$XDG_CONFIG_HOME/Orq Sync/ overrides it key by key. See devicedetect-host(1).\n";
    spec.version = DD_VERSION;
    return spec;
}

int parseHostOptions(int argc, char** argv, const std::string& defaultModuleDir,
                     HostOptions& options) {
    cli::Parser parser(hostCommandLine(defaultModuleDir));
    std::vector<std::string> runOnly;  // given options that --check has no use for
    int status = parser.run(argc, argv, [&](const cli::Option& option, const char* value) {
        const std::string& name = option.name;
        if (name == "module-dir") {
            if (*value == 0) {
                return std::string("an empty folder name");
            }
            options.moduleDir = value;
        } else if (name == "json") {
            options.json = true;
        } else if (name == "check") {
            options.check = true;
        } else if (name == "auto-sync") {
            options.autoSync = true;
            runOnly.push_back(name);
        } else if (name == "duration") {
            if (!cli::parseDecimal(value, 0, kMaxDurationSeconds, options.duration)) {
                return std::string("not a number of seconds from 0 to 31536000");
            }
            runOnly.push_back(name);
        } else if (name == "loader-port") {
            long port = 0;
            if (!cli::parseInteger(value, 0, 65535, port)) {
                return std::string("not a port number from 0 to 65535");
            }
            options.loaderPort = static_cast<int>(port);
            runOnly.push_back(name);
        }
        return std::string();
    });
    if (status >= 0) {
        return status;
    }
    if (options.check && !runOnly.empty()) {
        std::fprintf(stderr,
                     "devicedetect-host: --%s has no use with --check "
                     "(see devicedetect-host --help)\n",
                     runOnly.front().c_str());
        return 2;
    }
    return -1;
}
