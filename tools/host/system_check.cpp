#include "system_check.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "android/pc_identity.h"
#include "deviceinfo/supported_devices.h"
#include "events.h"
#include "machine_notes.h"
#include "node_access.h"
#include "platform/child_process.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/program_files.h"
#include "platform/regular_file.h"
#include "platform/shared_library.h"
#include "platform/tcp_socket.h"
#include "platform/unique_fd.h"
#include "platform/usb_sysfs.h"

namespace {

using Kind = CheckLine::Kind;
using dd::platform::joinPath;

#ifdef _WIN32
constexpr const char* kAdbInstall =
    "install Android's platform tools and put the folder of adb.exe on PATH, or set "
    "DEVICEDETECT_ADB to it";
#else
constexpr const char* kAdbInstall = "install it: sudo apt install adb";
#endif
constexpr const char* kRulesName = "70-orq-sync.rules";
constexpr const char* kRulesFix =
    "install the devicedetect package, or: sudo cp data/udev/70-orq-sync.rules "
    "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger";
// The companion packages are the suite's, not this project's: say where
// one comes from and where it goes.
std::string companionSource(const std::string& package, const std::string& moduleDir) {
    return package +
           " comes with the Orq Sync suite, not with DeviceDetect: copy it from the "
           "suite into " +
           moduleDir;
}

std::string env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != 0) ? value : fallback;
}

bool exists(const std::string& path) {
    return dd::platform::pathExists(path);
}

// What is kept of a program's output.
constexpr size_t kMaxOutput = 4096;

struct ProgramRun {
    int startError = 0;     // system error of a program that could not be started
    bool finished = false;  // ended (by itself) within the time limit
    int exitStatus = -1;    // its exit status (128 + signal when a signal ended it)
    std::string out;        // what it printed (at most 4 KiB)
};

// Runs argv with a time limit and gathers what it printed.
ProgramRun runProgram(const std::vector<std::string>& argv) {
    ProgramRun run;
    dd::platform::ChildRun child = dd::platform::runChild(
        argv, std::chrono::steady_clock::now() + std::chrono::seconds(5),
        [&run](std::string_view printed) {
            run.out.append(printed.substr(0, kMaxOutput - std::min(kMaxOutput, run.out.size())));
        });
    if (child.status == dd::platform::ChildRun::Status::SpawnFailed) {
        run.startError = child.spawnError != 0 ? child.spawnError : ENOENT;
        return run;
    }
    run.finished = child.status == dd::platform::ChildRun::Status::Exited;
    run.exitStatus = child.exitCode;
    return run;
}

// Why a program could not be started, from runChild's error number.
std::string startErrorText(int error) {
#ifdef _WIN32
    return "Windows error " + std::to_string(error);
#else
    return std::strerror(error);
#endif
}

// The first line a program printed, fit for one line of ours.
std::string firstLine(const std::string& printed) {
    std::string line = printed.substr(0, printed.find('\n'));
    if (line.size() > 120) {
        line = line.substr(0, 120) + "...";
    }
    return printableText(line);
}

// Where the shell would find name on PATH; name itself when nowhere.
std::string onPath(const std::string& name) {
    std::string path = env("PATH", "/usr/bin:/bin");
    const char separator = dd::platform::pathListSeparator();
    for (size_t pos = 0; pos <= path.size();) {
        size_t colon = path.find(separator, pos);
        std::string dir = path.substr(pos, colon == std::string::npos ? colon : colon - pos);
        std::string candidate = joinPath(dir.empty() ? "." : dir, name);
        if (dd::platform::isExecutableFile(candidate)) {
            return candidate;
        }
        if (colon == std::string::npos) {
            break;
        }
        pos = colon + 1;
    }
    return name;
}

// "1.0.41" -> 41, from "Android Debug Bridge version 1.0.41".
int adbVersionNumber(const std::string& printed) {
    size_t at = printed.find("version 1.0.");
    if (at == std::string::npos) {
        return 0;
    }
    return std::atoi(printed.c_str() + at + 12);
}

// The version a running adb server reports on host:version; 0 when none answers.
int adbServerVersion(uint16_t port) {
    dd::platform::UniqueFd fd =
        dd::platform::connectTcp4("127.0.0.1", port, std::chrono::milliseconds(1000), nullptr);
    const std::string request = "000chost:version";
    if (!fd || !dd::platform::sendAllWithin(fd.get(), request.data(), request.size(),
                                            std::chrono::milliseconds(1000), nullptr)) {
        return 0;
    }
    std::string reply;
    char buffer[64];
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (reply.size() < 12 && std::chrono::steady_clock::now() < end) {
        if (dd::platform::waitForFd(fd.get(), dd::platform::Io::Read,
                                    std::chrono::milliseconds(500),
                                    nullptr) != dd::platform::WaitOutcome::Ready) {
            continue;
        }
        bool retry = false;
        long n = dd::platform::receiveSome(fd.get(), buffer, sizeof(buffer), retry);
        if (n < 0 && retry) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        reply.append(buffer, static_cast<size_t>(n));
    }
    if (reply.size() < 12 || reply.compare(0, 4, "OKAY") != 0) {
        return 0;
    }
    return static_cast<int>(std::strtol(reply.substr(8, 4).c_str(), nullptr, 16));
}

// The adb program the module will run, by the name it runs it as.
CheckLine adbProgramLine(int& client) {
    const char* configured = std::getenv("DEVICEDETECT_ADB");
    bool fromEnvironment = configured != nullptr && *configured != 0;
    std::string adb = fromEnvironment ? configured : "adb";
    std::string shown = fromEnvironment ? "\"" + adb + "\" (DEVICEDETECT_ADB)" : onPath(adb);
    ProgramRun run = runProgram({adb, "version"});
    if (run.startError != 0) {
        if (!fromEnvironment) {
            return {Kind::Missing, std::string("adb program: no adb on PATH; ") + kAdbInstall};
        }
        return {Kind::Missing, "adb program: " + shown + " cannot be started (" +
                                   startErrorText(run.startError) +
                                   "): point DEVICEDETECT_ADB at the adb program, or unset it "
                                   "to use adb from PATH"};
    }
    std::string tried = "\"" + adb + " version\"";
    if (!run.finished) {
        return {Kind::Problem,
                "adb program: " + shown + ": " + tried + " did not end within 5 seconds"};
    }
    if (run.exitStatus != 0) {
        return {Kind::Problem, "adb program: " + shown + ": " + tried + " failed (" +
                                   "exit status " + std::to_string(run.exitStatus) +
                                   (run.out.empty() ? std::string() : ": " + firstLine(run.out)) +
                                   ")"};
    }
    client = adbVersionNumber(run.out);
    if (client == 0) {
        return {Kind::Problem, "adb program: " + shown + ": " + tried +
                                   " printed no adb version (" + firstLine(run.out) +
                                   "): is it adb?"};
    }
    return {Kind::Ok,
            "adb program: " + shown + " (adb version 1.0." + std::to_string(client) + ")"};
}

void checkAdb(std::vector<CheckLine>& lines) {
    int client = 0;
    lines.push_back(adbProgramLine(client));
    int port = std::atoi(env("ANDROID_ADB_SERVER_PORT", "5037").c_str());
    if (port <= 0 || port > 65535) {
        port = 5037;
    }
    int server = adbServerVersion(static_cast<uint16_t>(port));
    std::string where = "adb server on tcp:" + std::to_string(port);
    if (server == 0) {
        lines.push_back({Kind::Info, where + ": none running (the module starts one when needed)"});
    } else if (client != 0 && server != client) {
        lines.push_back({Kind::Problem, where + " is version " + std::to_string(server) +
                                            " but the adb program is " + std::to_string(client) +
                                            ": it belongs to another program; stop it "
                                            "(adb kill-server with that program's adb)"});
    } else {
        lines.push_back({Kind::Ok, where + ": version " + std::to_string(server)});
    }
}

// The installed rules file; empty when no rules folder has it.
std::string installedRules() {
    std::string dirs = env("DEVICEDETECT_UDEV_RULES_DIRS",
                           "/etc/udev/rules.d:/run/udev/rules.d:/usr/local/lib/udev/rules.d:"
                           "/usr/lib/udev/rules.d:/lib/udev/rules.d");
    for (size_t pos = 0; pos <= dirs.size();) {
        size_t colon = dirs.find(':', pos);
        std::string dir = dirs.substr(pos, colon == std::string::npos ? colon : colon - pos);
        if (!dir.empty() && exists(joinPath(dir, kRulesName))) {
            return joinPath(dir, kRulesName);
        }
        if (colon == std::string::npos) {
            break;
        }
        pos = colon + 1;
    }
    return std::string();
}

void checkRules(std::vector<CheckLine>& lines) {
#ifdef _WIN32
    // The phone's own USB driver gives its device to the user on Windows.
    lines.push_back({Kind::Info, "udev rules: not used on Windows (not checked)"});
    return;
#endif
    if (std::string rules = installedRules(); !rules.empty()) {
        lines.push_back({Kind::Ok, "udev rules: " + rules});
        return;
    }
    lines.push_back({Kind::Missing, std::string("udev rules ") + kRulesName +
                                        ": phones cannot be opened without root; " + kRulesFix});
}

// One attached phone: its node, and whether this user can open it.
CheckLine phoneLine(const dd::platform::UsbSysfs& usb, const dd::platform::UsbPortDevice& device,
                    const std::string& serial) {
    char ids[16];
    std::snprintf(ids, sizeof(ids), "%04x:%04x", device.vid, device.pid);
    std::string who =
        std::string("phone ") + ids + " " + printableText(serial) + " on port " + device.name;
    std::string node = usb.deviceNodePath(device.name);
    if (node.empty() || !exists(node)) {
        return {Kind::Problem, who + ": its device node " + (node.empty() ? "?" : node) +
                                   " is missing (the kernel or udev has not made it)"};
    }
    if (!dd::platform::canReadAndWrite(node)) {
        NodeAccessFacts facts = readNodeAccessFacts(node, installedRules());
        return {Kind::Problem, who + ": " + node + " cannot be opened by user " + facts.user +
                                   ": " + nodeAccessAdvice(facts)};
    }
    return {Kind::Ok, who + ": " + node + " can be opened"};
}

void checkPhones(const std::string& moduleDir, std::vector<CheckLine>& lines) {
    dd::platform::RuntimePaths paths = dd::platform::readRuntimePaths();
    if (!usbTreeReadable()) {
        lines.push_back({Kind::Info,
                         "phones: attached phones are found by the module's device "
                         "notifications on Windows; not listed here (DEVICEDETECT_SYSFS_ROOT "
                         "names a file tree that would be)"});
        return;
    }
    dd::platform::UsbSysfs usb(paths.sysfsRoot, paths.devRoot);
    CSupportedDevices catalogue;
    catalogue.loadSupportedIds(joinPath(moduleDir, "device.xml"));
    int phones = 0;
    for (const dd::platform::UsbPortDevice& device : usb.listPortDevices()) {
        if (device.isHub) {
            continue;
        }
        std::string serial;
        usb.serialNumber(device.hubPath, device.port, serial);
        bool adb = usb.adbInterfaceState(serial, device.vid, device.pid) !=
                   dd::platform::kUsbDriverNotFound;
        if (!adb && catalogue.doesDeviceSupport(device.vid, device.pid) != 1) {
            continue;
        }
        ++phones;
        lines.push_back(phoneLine(usb, device, serial));
    }
    if (phones == 0) {
        lines.push_back({Kind::Info, "phones: none attached by USB under " + usb.devicesDir()});
    }
}

// A library of the module folder that is there but cannot be loaded (empty,
// cut short, built for another machine, a dependency missing) stops the
// module as surely as a missing one.
void checkLibrary(const std::string& moduleDir, const char* name, const char* entryPoint,
                  std::vector<CheckLine>& lines) {
    const std::string file = dd::platform::sharedLibraryName(name);
    std::string path = joinPath(moduleDir, file);
    if (!exists(path)) {
        lines.push_back(
            {Kind::Missing, file + " in the module folder " + moduleDir +
                                ": reinstall the package (or pass the right --module-dir)"});
        return;
    }
    bool complete = false;
    {
        dd::platform::SharedLibrary library;
        std::string why;
        if (!library.open(path, &why)) {
            lines.push_back({Kind::Problem, path + " does not load: " + (why.empty() ? "?" : why) +
                                                ": reinstall the package"});
            return;
        }
        complete = entryPoint == nullptr || library.symbol(entryPoint) != nullptr;
    }
    if (!complete) {
        lines.push_back({Kind::Problem,
                         path + " has no " + entryPoint + ": it is not the DeviceDetect module"});
        return;
    }
    lines.push_back({Kind::Ok, file + " loads"});
}

void checkModuleFolder(const std::string& moduleDir, std::vector<CheckLine>& lines) {
    checkLibrary(moduleDir, "DeviceDetect", "QX_InitDetect", lines);
    checkLibrary(moduleDir, "DeviceController", "QX_RunAdbCmd", lines);
    checkLibrary(moduleDir, "OutputLog", "OutputString", lines);
    for (const char* file : {"device.xml", "orqBRAXLoader.ini"}) {
        if (!exists(joinPath(moduleDir, file))) {
            lines.push_back({Kind::Missing, std::string(file) + " in the module folder " +
                                                moduleDir + ": reinstall the package"});
        }
    }
    std::string apkConfig = joinPath(moduleDir, "apkConfig.ini");
    if (!exists(apkConfig)) {
        lines.push_back({Kind::Missing, "apkConfig.ini in " + moduleDir +
                                            ": the companion service cannot be installed; "
                                            "reinstall the package"});
    } else {
        lines.push_back(
            {Kind::Ok,
             "apkConfig.ini: companion versions sdk5=" +
                 dd::platform::readIniString(apkConfig, "resources", "sdk5", "?", 16) +
                 " sdk6=" + dd::platform::readIniString(apkConfig, "resources", "sdk6", "?", 16)});
    }
    for (const char* package : {"QXHttpd.apk", "QXHttpd16.apk"}) {
        if (exists(joinPath(moduleDir, package))) {
            lines.push_back({Kind::Ok, std::string("companion package ") + package});
        } else {
            lines.push_back({Kind::Missing, std::string("companion package ") + package + " in " +
                                                moduleDir +
                                                ": phones without the companion service cannot "
                                                "be served; " +
                                                companionSource(package, moduleDir)});
        }
    }
}

}  // namespace

std::vector<CheckLine> checkSystem(const std::string& moduleDir) {
    dd::platform::RuntimePaths paths = dd::platform::readRuntimePaths();
    paths.moduleDir = moduleDir;
    std::vector<CheckLine> lines;
    checkModuleFolder(moduleDir, lines);
    lines.push_back(logNote(paths));
    checkAdb(lines);
    checkRules(lines);
    lines.push_back(checkUsbBus(paths));
    checkPhones(moduleDir, lines);
    for (CheckLine& line : checkWifiFinder(moduleDir)) {
        lines.push_back(std::move(line));
    }
    // What a Wi-Fi phone must have been paired with to be served here.
    lines.push_back({Kind::Info, "this PC's identity for Wi-Fi pairing: " +
                                     dd::android::fullPcIdentity(paths.sysfsRoot)});
    return lines;
}

std::string formatCheckJson(const CheckLine& line) {
    const char* kind = line.kind == Kind::Ok        ? "ok"
                       : line.kind == Kind::Missing ? "missing"
                       : line.kind == Kind::Problem ? "problem"
                                                    : "info";
    return std::string("{\"check\":\"") + kind + "\",\"message\":" + jsonText(line.text) + "}";
}

std::string formatCheckLine(const CheckLine& line) {
    switch (line.kind) {
        case Kind::Ok:
            return "ok      " + line.text;
        case Kind::Missing:
            return "MISSING " + line.text;
        case Kind::Problem:
            return "PROBLEM " + line.text;
        case Kind::Info:
            break;
    }
    return "info    " + line.text;
}

std::string explainPhone(const std::string& moduleDir, uint16_t vid, uint16_t pid,
                         const std::string& serial) {
    dd::platform::RuntimePaths paths = dd::platform::readRuntimePaths();
    dd::platform::UsbSysfs usb(paths.sysfsRoot, paths.devRoot);
    std::vector<dd::platform::UsbPortDevice> devices;
    if (usbTreeReadable()) {
        devices = usb.listPortDevices();
    }
    for (const dd::platform::UsbPortDevice& device : devices) {
        std::string deviceSerial;
        usb.serialNumber(device.hubPath, device.port, deviceSerial);
        if (device.vid == vid && device.pid == pid && (serial.empty() || deviceSerial == serial)) {
            CheckLine line = phoneLine(usb, device, deviceSerial);
            if (line.kind != Kind::Ok) {
                return line.text;
            }
        }
    }
    for (const char* package : {"QXHttpd.apk", "QXHttpd16.apk"}) {
        if (!exists(joinPath(moduleDir, package))) {
            return std::string("the companion package ") + package + " is not in " + moduleDir +
                   ": a phone without the companion service cannot be served; " +
                   companionSource(package, moduleDir);
        }
    }
    return "the module gave up on the phone before it was ready; its log says why (" +
           env("DEVICEDETECT_LOG_FILE", joinPath(paths.dataDir, "log/DeviceDetect.log").c_str()) +
           ")";
}
