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

void printUsage() {
    std::puts(
        "usage: phonesim companion [--port P] [--imei X] [--model M] [--serial S]\n"
        "                          [--version-code N] [--conf-path P] [--paired-dev T]\n"
        "                          [--battery N] [--status N] [--allow-wifi N]\n"
        "                          [--fault slow|silent|keep-open|close-early|close-at-once|\n"
        "                                   chunked|no-blank-line|garbage|oversized|\n"
        "                                   wrong-key|wrong-types]\n"
        "Serves the phone's companion service on 127.0.0.1:P (0 = any free port) and\n"
        "prints the port; stops on SIGINT or SIGTERM.");
}

}  // namespace

int runCompanionCommand(int argc, char** argv) {
    PhoneConfig config;
    int port = 0;
    Fault fault = Fault::None;
    int parsed = takeOptionPairs(
        argc, argv, "companion", printUsage, [&](const std::string& option, const char* value) {
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
                return false;
            }
            return true;
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
