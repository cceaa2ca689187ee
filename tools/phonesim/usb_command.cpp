#include "usb_command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "command_options.h"
#include "fake_usb_tree.h"

namespace phonesim {

namespace {

cli::Spec commandLine() {
    const FakeUsbDevice device;
    char ids[16];
    std::snprintf(ids, sizeof(ids), "%04x:%04x", device.vid, device.pid);
    cli::Spec spec;
    spec.program = "phonesim usb";
    spec.usage = "phonesim usb --sysfs DIR --dev DIR COMMAND [OPTION]...";
    spec.description = "Changes a fake USB tree: one COMMAND a run.";
    spec.options = {
        {"sysfs", 0, "DIR", "root of the fake sysfs tree (required)", ""},
        {"dev", 0, "DIR", "root of the fake device nodes (required)", ""},
        {"bus", 0, "N", "root: the bus number (required there)", ""},
        {"ports", 0, "N", "root, hub: the number of ports (required for a hub)",
         std::to_string(FakeUsbTree::kDefaultRootPorts) + " for a root hub"},
        {"port", 0, "P", "hub, plug, unplug: the port, e.g. 1-3 or 1-3.2 (required there)", ""},
        {"vid", 0, "HEX", "plug: vendor id, four hex digits", std::string(ids, 4)},
        {"pid", 0, "HEX", "plug: product id, four hex digits", std::string(ids + 5, 4)},
        {"serial", 0, "S", "plug: the serial number", "none"},
        {"no-adb", 0, "", "plug: without an adb interface", "off"},
        {"mtp", 0, "", "plug: with an MTP interface", "off"},
        {"no-node", 0, "", "plug: without a device node", "off"},
    };
    spec.footer =
        "Commands:\n"
        "  root   --bus N [--ports N]            add root hub usbN\n"
        "  hub    --port P --ports N             add a hub on port P (e.g. 1-3)\n"
        "  plug   --port P [--vid HEX] [--pid HEX] [--serial S] [--no-adb] [--mtp] [--no-node]\n"
        "  unplug --port P                       remove the device (and all below it)\n"
        "  list                                  print the plugged ports\n";
    return spec;
}

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
    std::fprintf(stderr, "phonesim usb: %s (see phonesim usb --help)\n", message);
    return 2;
}

}  // namespace

int runUsbCommand(int argc, char** argv) {
    std::map<std::string, std::string> options;
    std::string command;
    int parsed = takeOptions(
        argc, argv, commandLine(),
        [&](const std::string& option, const char* value) {
            options[option] = value != nullptr ? value : "1";
            return std::string();
        },
        [&](const std::string& argument) {
            if (!command.empty()) {
                return "unexpected argument '" + argument + "' after the command " + command;
            }
            if (argument != "root" && argument != "hub" && argument != "plug" &&
                argument != "unplug" && argument != "list") {
                return "unknown command '" + argument + "' (root, hub, plug, unplug or list)";
            }
            command = argument;
            return std::string();
        });
    if (parsed >= 0) {
        return parsed;
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
    return fail("unknown command");  // refused while reading the command line
}

}  // namespace phonesim
