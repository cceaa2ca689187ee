// What the adb server says about its phones, as pure functions: the device
// list it sends ("SERIAL\tSTATE\n" per phone, as "adb devices" prints it),
// the states a plugged phone passes through before adb can use it, and what
// its user can do about each. The list comes from another program: every
// line and field is bounded, and a state is only ever one of the known words.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace dd::android {

// A phone's state in adb, as far as the module cares.
enum class AdbState {
    kUnknown,        // no device list known (no server, or not asked yet)
    kAbsent,         // the server does not list the phone (yet)
    kDevice,         // "device": adb commands reach the phone
    kUnauthorized,   // "unauthorized": the phone shows its USB debugging prompt
    kOffline,        // "offline", "connecting", "authorizing": its adb is starting
    kNoPermissions,  // "no permissions (...)": this user cannot open the USB device
    kOtherMode,      // "bootloader", "recovery", "sideload", "rescue" ...: not running Android
};

constexpr size_t kMaxListedPhones = 1024;
constexpr size_t kMaxAdbSerial = 128;

// serial -> state text (the first word, or "no permissions"), at most
// kMaxListedPhones entries; lines that do not have the shape are skipped.
std::map<std::string, std::string> parseAdbDeviceList(std::string_view text);

AdbState classifyAdbState(std::string_view stateText);

// The state as the module names it to the host and in its log: "absent",
// "unauthorized", "offline", "no permissions", or the mode's own word
// ("recovery"); stateText is used only for kOtherMode (a word of letters).
std::string adbStateName(AdbState state, std::string_view stateText = {});
// The state for a name as adbStateName gives it (kUnknown for none).
AdbState adbStateFromName(std::string_view name);

// What the phone's user can do, for the log and the host's view.
const char* adbStateAdvice(AdbState state);

// adb's own lines that a command started the server with ("* daemon not
// running; starting now at tcp:5037", "* daemon started successfully"):
// they come before the command's output, and are cut off here so that
// every reader sees only what the phone printed. `removed` gets them.
std::string_view skipDaemonStartLines(std::string_view output, std::string_view* removed = nullptr);

}  // namespace dd::android
