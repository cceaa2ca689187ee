#include "system_check.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "core/supported_devices.h"
#include "events.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/tcp_socket.h"
#include "platform/unique_fd.h"
#include "platform/usb_sysfs.h"

extern char** environ;

namespace {

using Kind = CheckLine::Kind;
using dd::platform::joinPath;

constexpr const char* kRulesName = "70-orq-sync.rules";
constexpr const char* kRulesFix =
    "install the devicedetect package, or: sudo cp data/udev/70-orq-sync.rules "
    "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger";

std::string env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != 0) ? value : fallback;
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string userName() {
    const passwd* pw = getpwuid(geteuid());
    return pw != nullptr && pw->pw_name != nullptr ? pw->pw_name : std::to_string(geteuid());
}

// Runs argv with a time limit and returns what it printed (at most 4 KiB);
// false when it cannot be started or does not end in time.
bool runProgram(const std::vector<std::string>& argv, std::string& out) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    dd::platform::UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (spawned != 0) {
        return false;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    char buffer[512];
    bool finished = false;
    while (out.size() < 4096) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || dd::platform::waitForFd(readEnd.get(), POLLIN, left, nullptr) !=
                                     dd::platform::WaitOutcome::Ready) {
            break;
        }
        ssize_t n = read(readEnd.get(), buffer, sizeof(buffer));
        if (n <= 0) {
            finished = true;
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    if (!finished) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return finished && WIFEXITED(status);
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
        if (dd::platform::waitForFd(fd.get(), POLLIN, std::chrono::milliseconds(500), nullptr) !=
            dd::platform::WaitOutcome::Ready) {
            continue;
        }
        ssize_t n = read(fd.get(), buffer, sizeof(buffer));
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

void checkAdb(std::vector<CheckLine>& lines) {
    std::string adb = env("DEVICEDETECT_ADB", "adb");
    std::string printed;
    int client = 0;
    if (!runProgram({adb, "version"}, printed) || (client = adbVersionNumber(printed)) == 0) {
        lines.push_back({Kind::Missing, "adb program: \"" + adb +
                                            "\" cannot be run; install it: sudo apt install adb"});
    } else {
        lines.push_back({Kind::Ok, "adb program: " + adb + " (adb version 1.0." +
                                       std::to_string(client) + ")"});
    }
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

void checkRules(std::vector<CheckLine>& lines) {
    std::string dirs =
        env("DEVICEDETECT_UDEV_RULES_DIRS",
            "/etc/udev/rules.d:/run/udev/rules.d:/usr/lib/udev/rules.d:/lib/udev/rules.d");
    for (size_t pos = 0; pos <= dirs.size();) {
        size_t colon = dirs.find(':', pos);
        std::string dir = dirs.substr(pos, colon == std::string::npos ? colon : colon - pos);
        if (!dir.empty() && exists(joinPath(dir, kRulesName))) {
            lines.push_back({Kind::Ok, "udev rules: " + joinPath(dir, kRulesName)});
            return;
        }
        if (colon == std::string::npos) {
            break;
        }
        pos = colon + 1;
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
    if (access(node.c_str(), R_OK | W_OK) != 0) {
        return {Kind::Problem, who + ": " + node + " cannot be opened by user " + userName() +
                                   "; " + kRulesFix + ", then plug the phone in again"};
    }
    return {Kind::Ok, who + ": " + node + " can be opened"};
}

void checkPhones(const std::string& moduleDir, std::vector<CheckLine>& lines) {
    dd::platform::RuntimePaths paths = dd::platform::readRuntimePaths();
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

void checkModuleFolder(const std::string& moduleDir, std::vector<CheckLine>& lines) {
    for (const char* file : {"libDeviceDetect.so", "libDeviceController.so", "libOutputLog.so",
                             "device.xml", "orqBRAXLoader.ini"}) {
        if (!exists(joinPath(moduleDir, file))) {
            lines.push_back({Kind::Missing, std::string(file) + " in the module folder " +
                                                moduleDir + ": reinstall the package"});
        }
    }
    std::string apkConfig = joinPath(moduleDir, "apkConfig.ini");
    if (!exists(apkConfig)) {
        lines.push_back({Kind::Missing, "apkConfig.ini in " + moduleDir +
                                            ": the companion service cannot be installed"});
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
            lines.push_back(
                {Kind::Missing, std::string("companion package ") + package + " in " + moduleDir +
                                    ": phones without the companion service cannot be served"});
        }
    }
}

void checkWifiFinder(const std::string& moduleDir, std::vector<CheckLine>& lines) {
    std::string path = joinPath(moduleDir, "libQXWIFIFinder.so");
    if (!exists(path)) {
        lines.push_back(
            {Kind::Missing, "Wi-Fi finder " + path + ": Wi-Fi phones are off (USB phones work)"});
        return;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        lines.push_back({Kind::Problem, "Wi-Fi finder " + path +
                                            " does not load: " + (why != nullptr ? why : "?")});
        return;
    }
    std::string lacking;
    for (const char* entry :
         {"StartDetect", "StopDetect", "SetStateNotifyCallBack", "StartHttpServer",
          "StopHttpServer", "StartClient", "SetDevStatus", "SetSyncNotifyCallBack", "RemoveDev"}) {
        if (dlsym(handle, entry) == nullptr) {
            lacking += std::string(lacking.empty() ? "" : ", ") + entry;
        }
    }
    dlclose(handle);
    if (lacking.empty()) {
        lines.push_back({Kind::Ok, "Wi-Fi finder " + path + " with its nine entry points"});
    } else {
        lines.push_back({Kind::Problem,
                         "Wi-Fi finder " + path + " lacks " + lacking + ": Wi-Fi phones are off"});
    }
}

}  // namespace

std::vector<CheckLine> checkSystem(const std::string& moduleDir) {
    std::vector<CheckLine> lines;
    checkModuleFolder(moduleDir, lines);
    checkAdb(lines);
    checkRules(lines);
    checkPhones(moduleDir, lines);
    checkWifiFinder(moduleDir, lines);
    return lines;
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
    for (const dd::platform::UsbPortDevice& device : usb.listPortDevices()) {
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
                   ": a phone without the companion service cannot be served "
                   "(devicedetect-host --check lists what is missing)";
        }
    }
    return "the module gave up on the phone before it was ready; its log says why (" +
           env("DEVICEDETECT_LOG_FILE", "DeviceDetect.log in the data folder") + ")";
}
