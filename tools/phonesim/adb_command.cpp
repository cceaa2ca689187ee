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

void usage() {
    std::puts(
        "usage: phonesim adb --port PORT [--version N] [--daemon]\n"
        "                    --phone SERIAL [phone options] [--phone SERIAL ...]\n"
        "Plays an adb server on 127.0.0.1:PORT until it gets host:kill (adb kill-server)\n"
        "or SIGINT/SIGTERM. Phone options apply to the --phone before them:\n"
        "  --prop KEY=VALUE        set a property (getprop)\n"
        "  --only-props            the phone has only the --prop properties\n"
        "  --service PHONE=LOCAL   phone TCP port PHONE is served on 127.0.0.1:LOCAL\n"
        "  --getprop-failures N    the first N getprop calls fail\n"
        "  --boot-delay-ms N       sys.boot_completed shows N ms after start\n"
        "  --no-boot               sys.boot_completed never shows\n"
        "  --listed-after-ms N     the phone is listed N ms after the server starts\n"
        "  --offline-ms N          then \"offline\" for N ms\n"
        "  --unauthorized          then \"unauthorized\" (its USB debugging prompt) for good\n"
        "  --daemon                return once listening, serving in the background, with\n"
        "                          the lines adb start-server prints");
}

}  // namespace

int runAdbCommand(int argc, char** argv) {
    long port = -1;
    long version = kDefaultAdbServerVersion;
    bool daemon = false;
    std::vector<AdbPhoneConfig> phones;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        auto needPhone = [&] {
            if (phones.empty()) {
                std::fprintf(stderr, "phonesim adb: %s needs a --phone before it\n",
                             option.c_str());
                return false;
            }
            return true;
        };
        if (option == "--help") {
            usage();
            return 0;
        } else if (option == "--daemon") {
            daemon = true;
            continue;
        } else if (option == "--no-boot") {
            if (!needPhone())
                return 2;
            phones.back().bootCompleted = false;
            continue;
        } else if (option == "--only-props") {
            if (!needPhone())
                return 2;
            phones.back().properties.clear();
            continue;
        } else if (option == "--unauthorized") {
            if (!needPhone())
                return 2;
            phones.back().authorized = false;
            continue;
        }
        if (value == nullptr) {
            std::fprintf(stderr, "phonesim adb: %s needs a value\n", option.c_str());
            return 2;
        }
        ++i;
        if (option == "--port" && parseNumber(value, 1, 65535, number)) {
            port = number;
        } else if (option == "--version" && parseNumber(value, 1, 0xffff, number)) {
            version = number;
        } else if (option == "--phone") {
            phones.push_back(makeDefaultPhone(value));
        } else if (option == "--prop" && std::strchr(value, '=') != nullptr) {
            if (!needPhone())
                return 2;
            const char* eq = std::strchr(value, '=');
            phones.back().properties[std::string(value, eq)] = eq + 1;
        } else if (option == "--service" && std::strchr(value, '=') != nullptr) {
            if (!needPhone())
                return 2;
            long phonePort = 0;
            long localPort = 0;
            std::string text = value;
            size_t eq = text.find('=');
            if (!parseNumber(text.substr(0, eq).c_str(), 1, 65535, phonePort) ||
                !parseNumber(text.substr(eq + 1).c_str(), 1, 65535, localPort)) {
                std::fprintf(stderr, "phonesim adb: bad --service %s\n", value);
                return 2;
            }
            phones.back().servicePorts[static_cast<uint16_t>(phonePort)] =
                static_cast<uint16_t>(localPort);
        } else if (option == "--getprop-failures" && parseNumber(value, 0, 1000000, number)) {
            if (!needPhone())
                return 2;
            phones.back().getpropFailures = static_cast<int>(number);
        } else if ((option == "--listed-after-ms" || option == "--offline-ms") &&
                   parseNumber(value, 0, 86400000, number)) {
            if (!needPhone())
                return 2;
            (option == "--offline-ms" ? phones.back().offlineFor : phones.back().listedAfter) =
                std::chrono::milliseconds(number);
        } else if (option == "--boot-delay-ms" && parseNumber(value, 0, 86400000, number)) {
            if (!needPhone())
                return 2;
            phones.back().bootDelay = std::chrono::milliseconds(number);
        } else {
            std::fprintf(stderr, "phonesim adb: bad option %s %s\n", option.c_str(), value);
            return 2;
        }
    }
    if (port < 0) {
        usage();
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
