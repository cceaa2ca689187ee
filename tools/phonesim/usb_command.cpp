#include "usb_command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "fake_usb_tree.h"

namespace phonesim {

namespace {

constexpr const char* kUsage =
    "usage: phonesim usb --sysfs DIR --dev DIR COMMAND [options]\n"
    "  root   --bus N [--ports N]            add root hub usbN\n"
    "  hub    --port P --ports N             add a hub on port P (e.g. 1-3)\n"
    "  plug   --port P --vid HEX --pid HEX [--serial S] [--no-adb] [--mtp] [--no-node]\n"
    "  unplug --port P                       remove the device (and all below it)\n"
    "  list                                  print the plugged ports\n";

bool parseHex16(const std::string& text, uint16_t& out) {
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end != 0 || value > 0xFFFF) {
        return false;
    }
    out = static_cast<uint16_t>(value);
    return true;
}

bool parseInt(const std::string& text, int& out) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || value < 0 || value > 999) {
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

int fail(const char* message) {
    std::fprintf(stderr, "phonesim usb: %s\n%s", message, kUsage);
    return 2;
}

}  // namespace

int runUsbCommand(int argc, char** argv) {
    std::map<std::string, std::string> options;
    std::string command;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--no-adb" || arg == "--mtp" || arg == "--no-node") {
            options[arg] = "1";
        } else if (arg.compare(0, 2, "--") == 0) {
            if (i + 1 >= argc) {
                return fail("missing value");
            }
            options[arg] = argv[++i];
        } else if (command.empty()) {
            command = arg;
        } else {
            return fail("unexpected argument");
        }
    }
    if (options["--sysfs"].empty() || options["--dev"].empty() || command.empty()) {
        return fail("--sysfs, --dev and a command are required");
    }
    FakeUsbTree tree(options["--sysfs"], options["--dev"]);

    if (command == "list") {
        for (const std::string& port : tree.pluggedPorts()) {
            std::printf("%s\n", port.c_str());
        }
        return 0;
    }
    if (command == "root") {
        int bus = 0;
        int ports = FakeUsbTree::kDefaultRootPorts;
        if (!parseInt(options["--bus"], bus) ||
            (options.count("--ports") && !parseInt(options["--ports"], ports))) {
            return fail("root needs --bus N");
        }
        return tree.addRootHub(bus, ports) ? 0 : 1;
    }
    const std::string& port = options["--port"];
    if (port.empty()) {
        return fail("--port is required");
    }
    if (command == "unplug") {
        return tree.unplug(port) ? 0 : 1;
    }
    if (command == "hub") {
        int ports = 0;
        if (!parseInt(options["--ports"], ports)) {
            return fail("hub needs --ports N");
        }
        return tree.addHub(port, ports) ? 0 : 1;
    }
    if (command == "plug") {
        FakeUsbDevice device;
        device.port = port;
        if ((options.count("--vid") && !parseHex16(options["--vid"], device.vid)) ||
            (options.count("--pid") && !parseHex16(options["--pid"], device.pid))) {
            return fail("--vid and --pid take four hex digits");
        }
        device.serial = options["--serial"];
        device.adb = options.count("--no-adb") == 0;
        device.mtp = options.count("--mtp") != 0;
        device.node = options.count("--no-node") == 0;
        return tree.plug(device) ? 0 : 1;
    }
    return fail("unknown command");
}

}  // namespace phonesim
