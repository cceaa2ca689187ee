// "phonesim companion": runs one phone's companion service until SIGINT or
// SIGTERM, for the demo and for trying the module by hand.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_options.h"
#include "companion_service.h"

namespace phonesim {
namespace {

cli::Spec commandLine() {
    const PhoneConfig phone;
    cli::Spec spec;
    spec.program = "phonesim companion";
    spec.usage = "phonesim companion [OPTION]...";
    spec.description =
        "Serves one phone's companion service on 127.0.0.1 and prints its port; stops on "
        "SIGINT or SIGTERM.";
    spec.options = {
        {"port", 0, "P", "TCP port to listen on; 0 takes any free port", "0"},
        {"imei", 0, "X", "the phone's IMEI", phone.imei},
        {"model", 0, "M", "the phone's model", phone.model},
        {"serial", 0, "S", "the phone's serial number", phone.serialNumber},
        {"version-code", 0, "N", "version code of the installed service",
         std::to_string(phone.versionCode.value_or(0))},
        {"conf-path", 0, "P", "the phone's configuration folder", phone.confPath},
        {"paired-dev", 0, "T", "identity of the PC the phone is paired with", "none"},
        {"battery", 0, "N", "battery level in percent", std::to_string(phone.battery)},
        {"status", 0, "N", "the status the service reports", std::to_string(phone.status)},
        {"allow-wifi", 0, "N", "whether the phone allows Wi-Fi sync (1) or not (0)",
         std::to_string(phone.allowWifi.value_or(0))},
        {"fault", 0, "NAME",
         "misbehave: slow, silent, keep-open, close-early, close-at-once, chunked, "
         "no-blank-line, garbage, oversized, wrong-key or wrong-types",
         "none"},
    };
    return spec;
}

}  // namespace

int runCompanionCommand(int argc, char** argv) {
    PhoneConfig config;
    int port = 0;
    Fault fault = Fault::None;
    int parsed =
        takeOptions(argc, argv, commandLine(), [&](const std::string& option, const char* value) {
            long number = 0;
            bool numeric = parseNumber(value, -2147483647L, 2147483647L, number);
            if (option == "--port" && numeric && number >= 0 && number <= 65535) {
                port = static_cast<int>(number);
            } else if (option == "--imei") {
                config.imei = value;
            } else if (option == "--model") {
                config.model = value;
            } else if (option == "--serial") {
                config.serialNumber = value;
            } else if (option == "--conf-path") {
                config.confPath = value;
            } else if (option == "--paired-dev") {
                config.pairedDev = value;
            } else if (option == "--version-code" && numeric) {
                config.versionCode = static_cast<int>(number);
            } else if (option == "--battery" && numeric) {
                config.battery = static_cast<int>(number);
            } else if (option == "--status" && numeric) {
                config.status = static_cast<int>(number);
            } else if (option == "--allow-wifi" && numeric) {
                config.allowWifi = static_cast<int>(number);
            } else if (option == "--fault" && faultFromName(value)) {
                fault = *faultFromName(value);
            } else {
                return kBadValue;
            }
            return std::string();
        });
    if (parsed >= 0) {
        return parsed;
    }
    // Block the stop signals before any thread starts, so only sigwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CompanionService service(config);
    service.setFault(fault);
    if (!service.start(static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "phonesim companion: cannot listen on port %d\n", port);
        return 1;
    }
    std::printf("companion service listening on 127.0.0.1:%u\n", service.port());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    service.stop();
    std::printf("companion service stopped: %zu requests, %zu sync ends\n", service.requestCount(),
                service.syncEndCount());
    return 0;
}

}  // namespace phonesim
