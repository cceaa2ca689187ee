// The adb command line as the module writes it ("-s SERIAL shell getprop",
// "-s SERIAL install -r \"/path/x.apk\""): split into words the way the
// Windows command line did (blanks separate, double quotes group), then the
// global options taken apart from the command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace devctl {

// Blanks separate words; "..." groups (the quotes go), \" is a literal quote.
std::vector<std::string> splitCommandLine(std::string_view text);

struct AdbInvocation {
    std::vector<std::string> words;    // every word, for running the adb binary itself
    std::string serial;                // -s SERIAL, empty for none
    uint16_t port = 0;                 // -P PORT, 0 for the environment's port
    bool otherGlobalOptions = false;   // -d, -e, -t, -H, -L ...: leave those to the adb binary
    std::vector<std::string> command;  // the command and its arguments
};

// False when an option lacks its value or -P is not a port number.
bool parseInvocation(std::string_view text, AdbInvocation& invocation);

// ANDROID_ADB_SERVER_PORT when it holds a port number, else 5037.
uint16_t serverPortFromEnvironment();

}  // namespace devctl
