// The INI readers and writer of the platform, with what goes wrong written to
// the log: a settings file that is there but cannot be read falls back to the
// default, and the log says so.
#pragma once

#include <string>
#include <string_view>

namespace dd::logged {

std::string readIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view fallback, size_t maxChars = 4096);
int readIniInt(const std::string& path, std::string_view section, std::string_view key,
               int fallback);
bool writeIniString(const std::string& path, std::string_view section, std::string_view key,
                    std::string_view value);

}  // namespace dd::logged
