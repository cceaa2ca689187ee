// The "--option value" command lines of phonesim's commands.
#pragma once

#include <functional>
#include <string>

namespace phonesim {

// Walks the "--option value" pairs of argv. "--help" prints the usage and
// gives 0; an option without a value, or a pair that take refuses, is
// reported as "phonesim COMMAND: ..." and gives 2. -1 when every pair was
// taken and the command goes on.
int takeOptionPairs(int argc, char** argv, const char* command, void (*printUsage)(),
                    const std::function<bool(const std::string& option, const char* value)>& take);

// strtol over the whole text, within [low, high].
bool parseNumber(const char* text, long low, long high, long& out);

}  // namespace phonesim
