#include "android/adb_device_list.h"

namespace dd::android {
namespace {

bool isLetters(std::string_view text) {
    if (text.empty() || text.size() > 16) {
        return false;
    }
    for (char c : text) {
        if (c < 'a' || c > 'z') {
            return false;
        }
    }
    return true;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::map<std::string, std::string> parseAdbDeviceList(std::string_view text) {
    std::map<std::string, std::string> phones;
    while (!text.empty() && phones.size() < kMaxListedPhones) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        size_t tab = line.find('\t');
        if (tab == 0 || tab == std::string_view::npos || tab > kMaxAdbSerial) {
            continue;
        }
        std::string_view serial = line.substr(0, tab);
        std::string_view state = line.substr(tab + 1);
        if (startsWith(state, "no permissions")) {
            state = "no permissions";
        } else {
            state = state.substr(0, state.find(' '));
        }
        if (state.empty() || state.size() > 32) {
            continue;
        }
        phones[std::string(serial)] = std::string(state);
    }
    return phones;
}

AdbState classifyAdbState(std::string_view state) {
    if (state == "device") {
        return AdbState::kDevice;
    }
    if (state == "unauthorized") {
        return AdbState::kUnauthorized;
    }
    if (state == "offline" || state == "connecting" || state == "authorizing") {
        return AdbState::kOffline;
    }
    if (state == "no permissions") {
        return AdbState::kNoPermissions;
    }
    return AdbState::kOtherMode;
}

std::string adbStateName(AdbState state, std::string_view stateText) {
    switch (state) {
        case AdbState::kUnknown:
            return "unknown";
        case AdbState::kAbsent:
            return "absent";
        case AdbState::kDevice:
            return "device";
        case AdbState::kUnauthorized:
            return "unauthorized";
        case AdbState::kOffline:
            return "offline";
        case AdbState::kNoPermissions:
            return "no permissions";
        case AdbState::kOtherMode:
            return isLetters(stateText) ? std::string(stateText) : "unknown";
    }
    return "unknown";
}

AdbState adbStateFromName(std::string_view name) {
    if (name == "absent") {
        return AdbState::kAbsent;
    }
    if (name.empty() || name == "unknown") {
        return AdbState::kUnknown;
    }
    return classifyAdbState(name);
}

const char* adbStateAdvice(AdbState state) {
    switch (state) {
        case AdbState::kUnknown:
        case AdbState::kDevice:
            return "";
        case AdbState::kAbsent:
            return "waiting for the phone to appear in adb: turn on USB debugging on the phone";
        case AdbState::kUnauthorized:
            return "accept the USB debugging prompt on the phone";
        case AdbState::kOffline:
            return "the phone's adb is starting; unplug and plug it again if this lasts";
        case AdbState::kNoPermissions:
            return "this user may not open the phone's USB device: install the udev rules "
                   "(devicedetect-host --check says how)";
        case AdbState::kOtherMode:
            return "the phone is not running Android (bootloader or recovery): restart it";
    }
    return "";
}

std::string_view skipDaemonStartLines(std::string_view output, std::string_view* removed) {
    size_t cut = 0;
    while (startsWith(output.substr(cut), "* daemon ") ||
           startsWith(output.substr(cut), "* failed to start daemon")) {
        size_t end = output.find('\n', cut);
        cut = end == std::string_view::npos ? output.size() : end + 1;
    }
    if (removed != nullptr) {
        *removed = output.substr(0, cut);
    }
    return output.substr(cut);
}

}  // namespace dd::android
