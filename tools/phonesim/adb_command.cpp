#include "adb_command.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "adb_server.h"
#include "command_options.h"

namespace phonesim {
namespace {

cli::Spec commandLine() {
    cli::Spec spec;
    spec.program = "phonesim adb";
    spec.usage =
        "phonesim adb --port PORT [--version N] [--daemon]\n"
        "                    --phone SERIAL [phone options] [--phone SERIAL ...]";
    spec.description =
        "Plays an adb server on 127.0.0.1:PORT until it gets host:kill (adb kill-server) or "
        "SIGINT/SIGTERM. Phone options apply to the --phone before them.";
    spec.options = {
        {"port", 0, "PORT", "TCP port to listen on (required)", ""},
        {"version", 0, "N", "the server's adb version", std::to_string(kDefaultAdbServerVersion)},
        {"daemon", 0, "",
         "return once listening, serving in the background, with the lines adb start-server prints",
         "off"},
        {"phone", 0, "SERIAL", "add a phone", "none"},
        {"prop", 0, "KEY=VALUE", "phone option: set a property (getprop)", "a stock phone's set"},
        {"service", 0, "PHONE=LOCAL",
         "phone option: phone TCP port PHONE is served on 127.0.0.1:LOCAL", "none"},
        {"getprop-failures", 0, "N", "phone option: the first N getprop calls fail", "0"},
        {"boot-delay-ms", 0, "N", "phone option: sys.boot_completed shows N ms after start", "0"},
        {"no-boot", 0, "", "phone option: sys.boot_completed never shows", "off"},
        {"only-props", 0, "", "phone option: the phone has only the --prop properties", "off"},
        {"listed-after-ms", 0, "N",
         "phone option: the phone is listed N ms after the server starts", "0"},
        {"offline-ms", 0, "N", "phone option: then \"offline\" for N ms", "0"},
        {"unauthorized", 0, "",
         "phone option: then \"unauthorized\" (its USB debugging prompt) "
         "until a command accepts it",
         "off"},
    };
    return spec;
}

}  // namespace

int runAdbCommand(int argc, char** argv) {
    long port = -1;
    long version = kDefaultAdbServerVersion;
    bool daemon = false;
    std::vector<AdbPhoneConfig> phones;
    int parsed =
        takeOptions(argc, argv, commandLine(), [&](const std::string& option, const char* value) {
            long number = 0;
            if (option == "--daemon") {
                daemon = true;
                return std::string();
            }
            if (option == "--port") {
                return parseNumber(value, 1, 65535, port) ? std::string() : kBadValue;
            }
            if (option == "--version") {
                return parseNumber(value, 1, 0xffff, version) ? std::string() : kBadValue;
            }
            if (option == "--phone") {
                phones.push_back(makeDefaultPhone(value));
                return std::string();
            }
            if (phones.empty()) {
                return std::string("needs a --phone before it");
            }
            AdbPhoneConfig& phone = phones.back();
            if (option == "--no-boot") {
                phone.bootCompleted = false;
            } else if (option == "--only-props") {
                phone.properties.clear();
            } else if (option == "--unauthorized") {
                phone.authorized = false;
            } else if ((option == "--listed-after-ms" || option == "--offline-ms") &&
                       parseNumber(value, 0, 86400000, number)) {
                (option == "--offline-ms" ? phone.offlineFor : phone.listedAfter) =
                    std::chrono::milliseconds(number);
            } else if (option == "--prop" && std::strchr(value, '=') != nullptr) {
                const char* eq = std::strchr(value, '=');
                phone.properties[std::string(value, eq)] = eq + 1;
            } else if (option == "--service" && std::strchr(value, '=') != nullptr) {
                long phonePort = 0;
                long localPort = 0;
                std::string text = value;
                size_t eq = text.find('=');
                if (!parseNumber(text.substr(0, eq).c_str(), 1, 65535, phonePort) ||
                    !parseNumber(text.substr(eq + 1).c_str(), 1, 65535, localPort)) {
                    return kBadValue;
                }
                phone.servicePorts[static_cast<uint16_t>(phonePort)] =
                    static_cast<uint16_t>(localPort);
            } else if (option == "--getprop-failures" && parseNumber(value, 0, 1000000, number)) {
                phone.getpropFailures = static_cast<int>(number);
            } else if (option == "--boot-delay-ms" && parseNumber(value, 0, 86400000, number)) {
                phone.bootDelay = std::chrono::milliseconds(number);
            } else {
                return kBadValue;
            }
            return std::string();
        });
    if (parsed >= 0) {
        return parsed;
    }
    if (port < 0) {
        std::fprintf(stderr, "phonesim adb: --port is required (see phonesim adb --help)\n");
        return 2;
    }

    // The daemon forks before any thread starts; the parent returns once the
    // child listens, which is what "adb start-server" promises its caller.
    int ready[2] = {-1, -1};
    if (daemon) {
        if (pipe(ready) != 0) {
            return 1;
        }
        pid_t child = fork();
        if (child < 0) {
            return 1;
        }
        if (child > 0) {
            // What the real client prints when it starts a server.
            std::fprintf(stderr, "* daemon not running; starting now at tcp:%ld\n", port);
            close(ready[1]);
            char status = 0;
            ssize_t n = read(ready[0], &status, 1);
            bool started = n == 1 && status == 'K';
            std::fprintf(
                stderr, started ? "* daemon started successfully\n" : "* failed to start daemon\n");
            return started ? 0 : 1;
        }
        close(ready[0]);
        setsid();
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // every thread inherits the mask

    AdbServer server(static_cast<int>(version));
    for (AdbPhoneConfig& phone : phones) {
        server.addPhone(std::move(phone));
    }
    bool listening = server.start(static_cast<uint16_t>(port));
    if (daemon) {
        char status = listening ? 'K' : 'F';
        (void)!write(ready[1], &status, 1);
        close(ready[1]);
        if (listening) {
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            close(devnull);
        }
    }
    if (!listening) {
        std::fprintf(stderr, "phonesim adb: cannot listen on 127.0.0.1:%ld\n", port);
        return 1;
    }
    if (!daemon) {
        std::printf("phonesim adb: listening on 127.0.0.1:%u\n", server.port());
        std::fflush(stdout);
    }
    // Ends on host:kill or on a signal: a thread takes the signal and stops
    // the server; after a kill that thread is woken with a signal of its own.
    std::thread signalWaiter([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        server.stop();
    });
    while (!server.waitStopped(std::chrono::hours(24))) {
    }
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
    server.stop();
    return 0;
}

}  // namespace phonesim
