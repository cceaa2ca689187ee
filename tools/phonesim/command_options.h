// The command lines of phonesim's commands, read with the programs' common
// option parser (tools/common/command_line.h): GNU long options, --help
// built from the command's table of options with their defaults, and one
// "phonesim COMMAND: ..." line with the exit status 2 for a bad command line.
#pragma once

#include <functional>
#include <string>

#include "command_line.h"

namespace phonesim {

// Why take() refused a value, when the help says all there is to say.
inline const std::string kBadValue = "bad value";

// Reads argv (argv[0] is the command's name) against spec. take gets each
// option in command-line order as "--name" with its value (nullptr for a
// flag) and returns "" to accept it, else why not. Arguments that are not
// options go to takeArgument (an error without one). -1 when the command
// goes on; else the exit status (0 after --help, 2 after an error line).
int takeOptions(
    int argc, char** argv, const cli::Spec& spec,
    const std::function<std::string(const std::string& option, const char* value)>& take,
    const cli::TakeArgument& takeArgument = nullptr);

// strtol over the whole text, within [low, high].
bool parseNumber(const char* text, long low, long high, long& out);

}  // namespace phonesim
