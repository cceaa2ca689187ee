#include "deadline.h"

#include <cstdlib>

namespace devctl {

std::chrono::milliseconds commandTimeLimit() {
    long limit = 20000;
    if (const char* text = std::getenv("DEVICEDETECT_ADB_TIMEOUT_MS"); text != nullptr) {
        char* end = nullptr;
        long value = std::strtol(text, &end, 10);
        if (end != text && *end == 0 && value > 0 && value <= 3600000) {
            limit = value;
        }
    }
    return std::chrono::milliseconds(limit);
}

}  // namespace devctl
