#include "adb_device_command.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "adb_tcp_phone.h"
#include "command_options.h"

namespace phonesim {
namespace {

cli::Spec commandLine() {
    cli::Spec spec;
    spec.program = "phonesim adb-device";
    spec.usage =
        "phonesim adb-device [--port P] [--prompt on|off] [--prop KEY=VALUE ...]\n"
        "                           [--service PHONE=LOCAL ...]";
    spec.description =
        "Plays a phone on adb's TCP transport on 127.0.0.1:P (the port is printed): a real adb "
        "server reaches it with adb connect 127.0.0.1:P and lists it as \"127.0.0.1:P\". It "
        "answers shell: and tcp:PHONE (relayed to 127.0.0.1:LOCAL). With --prompt on it shows "
        "its USB debugging prompt: the server lists it unauthorized until the line "
        "\"authorize\" is read. \"quit\" or the end of input ends it.";
    spec.options = {
        {"port", 0, "P", "TCP port to listen on (0: any free port)", "0"},
        {"prompt", 0, "on|off", "show the USB debugging prompt until \"authorize\"", "off"},
        {"prop", 0, "KEY=VALUE", "set a property (getprop)", "a stock phone's set"},
        {"service", 0, "PHONE=LOCAL", "phone TCP port PHONE is served on 127.0.0.1:LOCAL", "none"},
    };
    return spec;
}

bool splitPair(const char* value, std::string& key, std::string& rest) {
    const char* eq = std::strchr(value, '=');
    if (eq == nullptr || eq == value) {
        return false;
    }
    key.assign(value, eq);
    rest = eq + 1;
    return true;
}

}  // namespace

int runAdbDeviceCommand(int argc, char** argv) {
    long port = 0;
    bool prompt = false;
    AdbPhoneConfig config = makeDefaultPhone("");
    config.packages.insert("com.qx.httpd");
    int taken =
        takeOptions(argc, argv, commandLine(),
                    [&](const std::string& option, const char* value) -> std::string {
                        std::string key, rest;
                        long phonePort = 0, localPort = 0;
                        if (option == "--port") {
                            return parseNumber(value, 0, 65535, port) ? "" : kBadValue;
                        }
                        if (option == "--prompt") {
                            prompt = std::strcmp(value, "on") == 0;
                            return prompt || std::strcmp(value, "off") == 0 ? "" : kBadValue;
                        }
                        if (option == "--prop" && splitPair(value, key, rest)) {
                            config.properties[key] = rest;
                            return "";
                        }
                        if (option == "--service" && splitPair(value, key, rest) &&
                            parseNumber(key.c_str(), 1, 65535, phonePort) &&
                            parseNumber(rest.c_str(), 1, 65535, localPort)) {
                            config.servicePorts[static_cast<uint16_t>(phonePort)] =
                                static_cast<uint16_t>(localPort);
                            return "";
                        }
                        return kBadValue;
                    });
    if (taken >= 0) {
        return taken;
    }
    auto phone = std::make_shared<AdbPhone>(config, 1);
    AdbTcpPhone device(phone, prompt);
    if (!device.start(static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "phonesim adb-device: cannot listen on 127.0.0.1:%ld\n", port);
        return 1;
    }
    std::printf("adb device on 127.0.0.1:%u\n", device.port());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
        if (line == "authorize") {
            device.authorize();
            std::puts("ok authorize");
        } else if (!line.empty()) {
            std::printf("failed %s\n", line.c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace phonesim
