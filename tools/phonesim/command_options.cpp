#include "command_options.h"

namespace phonesim {

int takeOptions(
    int argc, char** argv, const cli::Spec& spec,
    const std::function<std::string(const std::string& option, const char* value)>& take,
    const cli::TakeArgument& takeArgument) {
    cli::Parser parser(spec);
    return parser.run(
        argc, argv,
        [&](const cli::Option& option, const char* value) {
            return take("--" + option.name, value);
        },
        takeArgument);
}

bool parseNumber(const char* text, long low, long high, long& out) {
    return cli::parseInteger(text, low, high, out);
}

}  // namespace phonesim
