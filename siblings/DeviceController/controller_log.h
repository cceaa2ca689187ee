// Log lines of the adb runner, written through the suite's log sink
// (OutputString) under the module name "DeviceController".
#pragma once

#include <string_view>

namespace devctl {

enum class LogKind { Err, Info };
void logLine(LogKind kind, std::string_view text);

}  // namespace devctl
