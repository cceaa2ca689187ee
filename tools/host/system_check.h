// devicedetect-host --check: looks at the real machine (or the one the
// DEVICEDETECT_* variables point at) and says, one line each, what the module
// needs and whether it is there: the module folder (its libraries load) with
// its companion packages, the log, the adb program and a running adb server,
// the udev rules, the USB bus, attached phones whose node this user cannot
// open (and what is missing for it), and the Wi-Fi finder with its UDP port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CheckLine {
    enum class Kind { Ok, Missing, Problem, Info };
    Kind kind = Kind::Info;
    std::string text;
};

// Every finding, in the order a person would fix them.
std::vector<CheckLine> checkSystem(const std::string& moduleDir);
// "ok      ...", "MISSING ...", "PROBLEM ...", "info    ...".
std::string formatCheckLine(const CheckLine& line);
// {"check":"ok|missing|problem|info","message":"..."}
std::string formatCheckJson(const CheckLine& line);

// Why a phone that was given up may not have been served: the state of its
// device node (missing, not openable by this user, with the fix) when that is
// the cause, else a pointer to the companion packages and the module's log.
std::string explainPhone(const std::string& moduleDir, uint16_t vid, uint16_t pid,
                         const std::string& serial);
