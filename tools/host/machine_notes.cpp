#include "machine_notes.h"

#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/ini_file.h"
#include "platform/loopback_server.h"
#include "platform/program_files.h"
#include "platform/regular_file.h"
#include "platform/shared_library.h"
#include "platform/udp_socket.h"

namespace {

using Kind = CheckLine::Kind;
using dd::platform::joinPath;

// The finder's own defaults (siblings/QXWIFIFinder): where it listens when
// DEVICEDETECT_WIFI_ADDRESS and DEVICEDETECT_WIFI_PORT say nothing.
constexpr const char* kFinderAddress = "127.0.0.1";
constexpr long kFinderPort = 8184;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

CheckLine finderLibraryLine(const std::string& moduleDir) {
    std::string path = joinPath(moduleDir, dd::platform::sharedLibraryName("QXWIFIFinder"));
    if (!dd::platform::pathExists(path)) {
        return {Kind::Missing,
                "Wi-Fi finder " + path + " is not there (USB phones work without it)"};
    }
    std::string lacking;
    {
        dd::platform::SharedLibrary finder;
        std::string why;
        if (!finder.open(path, &why)) {
            return {Kind::Problem,
                    "Wi-Fi finder " + path + " does not load: " + (why.empty() ? "?" : why)};
        }
        for (const char* entry : {"StartDetect", "StopDetect", "SetStateNotifyCallBack",
                                  "StartHttpServer", "StopHttpServer", "StartClient",
                                  "SetDevStatus", "SetSyncNotifyCallBack", "RemoveDev"}) {
            if (finder.symbol(entry) == nullptr) {
                lacking += std::string(lacking.empty() ? "" : ", ") + entry;
            }
        }
    }
    if (!lacking.empty()) {
        return {Kind::Problem, "Wi-Fi finder " + path + " lacks " + lacking};
    }
    return {Kind::Ok, "Wi-Fi finder " + path + " with its nine entry points"};
}

// The finder's UDP listening place, as the finder reads it, and whether it
// can be had: another program on it keeps the finder from starting.
CheckLine finderPortLine() {
    std::string address = env("DEVICEDETECT_WIFI_ADDRESS");
    std::string portText = env("DEVICEDETECT_WIFI_PORT");
    if (address.empty()) {
        address = kFinderAddress;
    }
    std::optional<uint32_t> inAddress = dd::platform::parseIpv4(address);
    if (!inAddress) {
        return {Kind::Problem, "Wi-Fi finder address DEVICEDETECT_WIFI_ADDRESS=" + address +
                                   " is not an IPv4 address: the finder does not start"};
    }
    long port = kFinderPort;
    if (!portText.empty()) {
        char* end = nullptr;
        port = std::strtol(portText.c_str(), &end, 10);
        if (*end != 0 || port < 0 || port > 65535) {
            return {Kind::Problem, "Wi-Fi finder port DEVICEDETECT_WIFI_PORT=" + portText +
                                       " is not a port number: the finder does not start"};
        }
    }
    std::string where = "udp " + address + ":" + std::to_string(port);
    if (port == 0) {
        return {Kind::Info,
                "Wi-Fi finder port: any free one (DEVICEDETECT_WIFI_PORT=0); phones "
                "must be told which"};
    }
    std::string why;
    switch (dd::platform::probeUdpPort(*inAddress, static_cast<uint16_t>(port), &why)) {
        case dd::platform::PortState::Free:
            break;
        case dd::platform::PortState::InUse:
            return {Kind::Problem, "Wi-Fi finder port " + where +
                                       " is held by another program, so the finder cannot "
                                       "listen: end that program, or set DEVICEDETECT_WIFI_PORT "
                                       "to a free port (and announce the phones there)"};
        case dd::platform::PortState::Failed:
            return {Kind::Problem, "Wi-Fi finder port " + where + " cannot be listened on: " + why};
    }
    return {Kind::Ok, "Wi-Fi finder port " + where + " is free"};
}

bool isRootHubName(const std::string& name) {
    if (name.compare(0, 3, "usb") != 0 || name.size() == 3) {
        return false;
    }
    for (const char* c = name.c_str() + 3; *c != 0; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
    }
    return true;
}

bool isLogLevelWord(const std::string& word) {
    return word == "Debug" || word == "Info" || word == "War" || word == "Err" || word == "Crit";
}

}  // namespace

std::vector<CheckLine> checkWifiFinder(const std::string& moduleDir) {
    return {finderLibraryLine(moduleDir), finderPortLine()};
}

bool usbTreeReadable() {
#ifdef _WIN32
    // Windows has no such tree: only one made for trying the module is read.
    return !env("DEVICEDETECT_SYSFS_ROOT").empty();
#else
    return true;
#endif
}

CheckLine checkUsbBus(const dd::platform::RuntimePaths& paths) {
    if (!usbTreeReadable()) {
        return {Kind::Ok,
                "USB: Windows reports phones to the module as they arrive "
                "(device notification); no bus to check here"};
    }
    std::string dir = joinPath(paths.sysfsRoot, "bus/usb/devices");
    std::vector<std::string> names;
    std::string why;
    if (!dd::platform::listFolder(dir, names, &why)) {
        // The module cannot even watch the folder: no phone will ever be seen.
        return {Kind::Problem, "no USB bus is visible: " + dir + " cannot be read (" + why +
                                   "), so USB phones cannot be found (a container or sandbox "
                                   "without the machine's /sys?)"};
    }
    int buses = 0;
    for (const std::string& name : names) {
        buses += isRootHubName(name) ? 1 : 0;
    }
    if (buses > 0) {
        return {Kind::Ok, "USB: " + std::to_string(buses) + " bus(es) under " + dir};
    }
    if (paths.sysfsRoot == "/sys") {
        return {Kind::Problem, "no USB bus is visible under " + dir +
                                   ": USB phones cannot be found (a container without the "
                                   "machine's USB devices?)"};
    }
    // A tree made for trying the module: its buses come with its first phone.
    return {Kind::Info, "USB: no bus under " + dir + " yet; buses and phones added later are seen"};
}

CheckLine logNote(const dd::platform::RuntimePaths& paths) {
    std::vector<std::string> files = dd::platform::loaderIniFiles(paths);
    std::string from = dd::platform::iniFileSetting(files, "Detect", "LogLevel");
    std::string word = dd::platform::readIniString(from, "Detect", "LogLevel", "", 19);
    std::string file = env("DEVICEDETECT_LOG_FILE");
    if (file.empty()) {
        file = joinPath(paths.dataDir, "log/DeviceDetect.log");
    }
    if (isLogLevelWord(word)) {
        return {Kind::Info, "log: " + file + " (LogLevel " + word + " from " + from + ")"};
    }
    return {Kind::Info, "log: off (LogLevel " + (word.empty() ? "not set" : word) + " in " + from +
                            "); to have one, set LogLevel=Info under [Detect] in " + files.front()};
}

std::vector<std::string> startupNotes(const dd::platform::RuntimePaths& paths,
                                      const std::vector<CheckLine>& finderLines) {
    std::vector<std::string> notes = {logNote(paths).text};
    if (CheckLine usb = checkUsbBus(paths); usb.kind != Kind::Ok) {
        notes.push_back(usb.text);
    }
    for (const CheckLine& line : finderLines) {
        if (line.kind == Kind::Missing || line.kind == Kind::Problem) {
            notes.push_back("Wi-Fi phones are off: " + line.text);
        }
    }
    return notes;
}
