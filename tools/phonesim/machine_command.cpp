#include "machine_command.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "android/pc_identity.h"
#include "brew_phone.h"
#include "command_options.h"
#include "sim_phone.h"
#include "wifi_phones.h"

namespace phonesim {
namespace {

cli::Spec commandLine() {
    cli::Spec spec;
    spec.program = "phonesim machine";
    spec.usage = "phonesim machine --sysfs DIR --dev DIR [OPTION]...";
    spec.description =
        "Runs a fake USB tree and an emulated adb server on 127.0.0.1 (the adb port is "
        "printed, and written to FILE), then reads commands, one per line.";
    spec.options = {
        {"sysfs", 0, "DIR", "root of the fake sysfs tree (required)", ""},
        {"dev", 0, "DIR", "root of the fake device nodes (required)", ""},
        {"adb-port", 0, "P", "the adb server's TCP port; 0 takes any free port", "0"},
        {"port-file", 0, "FILE", "also write the adb port to FILE", "none"},
        {"wifi-port", 0, "P", "UDP port of the Wi-Fi finder the Wi-Fi phones announce to", "8184"},
        {"pc-identity", 0, "TEXT",
         "the PC the Wi-Fi phones are paired with (as devicedetect-host --check shows it)",
         "this machine's"},
    };
    spec.footer =
        "Commands:\n"
        "  plug SERIAL [USBPORT [MODEL]]   plug a whole phone (default port 1-1)\n"
        "  plug-missing SERIAL [USBPORT]   a phone without the companion service\n"
        "  unplug SERIAL                   pull it out (a BREW phone by its IMEI)\n"
        "  plug-brew IMEI [USBPORT [MODEL]] plug a BREW phone (serial port on a pty)\n"
        "  brew-busy IMEI N                its next N requests are answered busy\n"
        "  brew-broken IMEI N              its next N replies are broken frames\n"
        "  brew-registered IMEI NAME       its syncsvr.dat and sync setting hold NAME\n"
        "  adb-timing LISTED_MS [OFFLINE_MS]  later plugs reach adb LISTED_MS after their\n"
        "                                  plug and stay offline OFFLINE_MS; a killed adb\n"
        "                                  server finds its phones again after LISTED_MS\n"
        "  adb-prompt on|off               later plugs show the USB debugging prompt: adb\n"
        "                                  lists them unauthorized until authorize\n"
        "  authorize SERIAL                the phone's user accepts the prompt\n"
        "  start SERIAL TEXT               the phone asks to start a sync (TEXT;START)\n"
        "  stop SERIAL TEXT                the phone asks to stop (TEXT;STOP)\n"
        "  list                            the plugged phones\n"
        "  hold                            later plugs and unplugs change USB only at release\n"
        "  release                         all held USB changes at once (then held unplugs\n"
        "                                  stop their phones' programs)\n"
        "  wifi-connect IMEI [SERIAL [other]]  a Wi-Fi phone on its own 127.0.0.x announces\n"
        "                                  itself to the finder on 127.0.0.1:P (default\n"
        "                                  8184), paired with this PC or another\n"
        "  wifi-disconnect IMEI            it leaves\n"
        "  wifi-start IMEI / wifi-stop IMEI  it asks to start / cancel a sync\n"
        "  quit                            (also end of input)\n";
    return spec;
}

}  // namespace

int runMachineCommand(int argc, char** argv) {
    std::string sysfs, dev, portFile, pcIdentity;
    int adbPort = 0;
    int wifiPort = 8184;
    int parsed =
        takeOptions(argc, argv, commandLine(), [&](const std::string& option, const char* value) {
            long number = 0;
            if (option == "--sysfs") {
                sysfs = value;
            } else if (option == "--dev") {
                dev = value;
            } else if (option == "--adb-port" && parseNumber(value, 0, 65535, number)) {
                adbPort = static_cast<int>(number);
            } else if (option == "--port-file") {
                portFile = value;
            } else if (option == "--wifi-port" && parseNumber(value, 1, 65535, number)) {
                wifiPort = static_cast<int>(number);
            } else if (option == "--pc-identity" && value[0] != '\0') {
                pcIdentity = value;
            } else {
                return kBadValue;
            }
            return std::string();
        });
    if (parsed >= 0) {
        return parsed;
    }
    if (sysfs.empty() || dev.empty()) {
        std::fprintf(stderr,
                     "phonesim machine: --sysfs and --dev are required "
                     "(see phonesim machine --help)\n");
        return 2;
    }
    SimMachine machine(sysfs, dev);
    if (!machine.start(static_cast<uint16_t>(adbPort))) {
        std::fprintf(stderr, "phonesim machine: cannot listen on 127.0.0.1:%d\n", adbPort);
        return 1;
    }
    machine.adb().setRestartAfterKill(true);
    std::printf("adb server on 127.0.0.1:%u\n", machine.adbPort());
    std::fflush(stdout);
    if (!portFile.empty()) {
        std::ofstream(portFile) << machine.adbPort() << "\n";
    }
    std::map<std::string, std::unique_ptr<BrewPhone>> brewPhones;
    // Storms: with hold, phones get their programs at once but reach (or
    // leave) the USB tree together at release.
    bool held = false;
    std::chrono::milliseconds adbListedAfter{0}, adbOfflineFor{0};
    bool adbPrompt = false;
    std::vector<std::string> heldPlugs, heldUnplugs;
    // A module built for another system (Windows, under Wine) knows this PC
    // by other pieces: the caller then names the identity it shows.
    if (pcIdentity.empty()) {
        pcIdentity = dd::android::fullPcIdentity(sysfs);
    }
    WifiPhones wifi(pcIdentity, "127.0.0.1", static_cast<uint16_t>(wifiPort));
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string verb, serial, arg, model;
        in >> verb >> serial >> arg >> model;
        if (verb == "quit") {
            break;
        }
        bool ok = true;
        if (verb == "plug" || verb == "plug-missing") {
            SimPhoneSpec spec;
            spec.serial = serial;
            spec.port = arg.empty() ? "1-1" : arg;
            if (!model.empty()) {
                spec.model = model;
                spec.service.model = model;
            }
            spec.serviceInstalled = verb == "plug";
            spec.adbListedAfter = adbListedAfter;
            spec.adbOfflineFor = adbOfflineFor;
            spec.adbUnauthorized = adbPrompt;
            if (held) {
                ok = !serial.empty() && machine.prepare(spec) != nullptr;
                if (ok) {
                    heldPlugs.push_back(serial);
                }
            } else {
                ok = !serial.empty() && machine.plug(spec) != nullptr;
            }
        } else if (verb == "plug-brew") {
            BrewPhoneSpec spec;
            spec.imei = serial;
            spec.port = arg.empty() ? "1-1" : arg;
            if (!model.empty()) {
                spec.model = model;
            }
            auto phone = std::make_unique<BrewPhone>(spec);
            ok = !serial.empty() && brewPhones.count(serial) == 0 && phone->plug(machine.usb());
            if (ok) {
                std::printf("  %s on %s\n", phone->tty().c_str(), phone->ptyPath().c_str());
                brewPhones[serial] = std::move(phone);
            }
        } else if (verb == "brew-busy" || verb == "brew-broken" || verb == "brew-registered") {
            auto found = brewPhones.find(serial);
            ok = found != brewPhones.end() && !arg.empty();
            if (ok && verb == "brew-registered") {
                found->second->setRegistration(arg + std::string(1, '\0'), arg);
            } else if (ok) {
                int count = std::atoi(arg.c_str());
                verb == "brew-busy" ? found->second->setBusyReplies(count)
                                    : found->second->setBrokenReplies(count);
            }
        } else if (verb == "unplug" && brewPhones.count(serial) != 0) {
            brewPhones.erase(serial);
        } else if (verb == "unplug" && held) {
            ok = machine.phone(serial) != nullptr;
            if (ok) {
                heldUnplugs.push_back(serial);
            }
        } else if (verb == "unplug") {
            ok = machine.unplug(serial);
        } else if (verb == "hold") {
            held = true;
        } else if (verb == "release") {
            for (const std::string& plugged : heldPlugs) {
                ok = machine.connectUsb(plugged) && ok;
            }
            for (const std::string& pulled : heldUnplugs) {
                ok = machine.pullUsb(pulled) && ok;
            }
            for (const std::string& pulled : heldUnplugs) {
                machine.unplug(pulled);
            }
            heldPlugs.clear();
            heldUnplugs.clear();
            held = false;
        } else if (verb == "adb-timing") {
            long listed = 0, offline = 0;
            ok = parseNumber(serial.c_str(), 0, 3600000, listed) &&
                 (arg.empty() || parseNumber(arg.c_str(), 0, 3600000, offline));
            if (ok) {
                adbListedAfter = std::chrono::milliseconds(listed);
                adbOfflineFor = std::chrono::milliseconds(offline);
                machine.adb().setRediscoveryDelay(adbListedAfter);
            }
        } else if (verb == "adb-prompt") {
            ok = serial == "on" || serial == "off";
            adbPrompt = serial == "on";
        } else if (verb == "authorize") {
            ok = machine.adb().authorize(serial);
        } else if (verb == "start" || verb == "stop") {
            SimPhone* phone = machine.phone(serial);
            ok = phone != nullptr && (verb == "start" ? phone->syncTool().sendStart(arg)
                                                      : phone->syncTool().sendStop(arg));
        } else if (verb == "list") {
            for (const std::string& port : machine.usb().pluggedPorts()) {
                std::printf("  %s\n", port.c_str());
            }
        } else if (wifi.handles(verb)) {
            ok = wifi.run(verb, serial, arg, model);
        } else if (!verb.empty()) {
            std::fprintf(stderr, "phonesim machine: unknown command %s\n", verb.c_str());
            ok = false;
        }
        std::printf("%s %s %s\n", ok ? "ok" : "failed", verb.c_str(), serial.c_str());
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace phonesim
