#include "command_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace phonesim {

int takeOptionPairs(int argc, char** argv, const char* command, void (*printUsage)(),
                    const std::function<bool(const std::string& option, const char* value)>& take) {
    for (int i = 0; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--help") {
            printUsage();
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "phonesim %s: %s needs a value\n", command, option.c_str());
            return 2;
        }
        const char* value = argv[++i];
        if (!take(option, value)) {
            std::fprintf(stderr, "phonesim %s: bad option %s %s\n", command, option.c_str(), value);
            return 2;
        }
    }
    return -1;
}

bool parseNumber(const char* text, long low, long high, long& out) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace phonesim
