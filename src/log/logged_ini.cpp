#include "log/logged_ini.h"

#include "log/log_stream.h"
#include "platform/ini_file.h"

namespace dd::logged {
namespace {

void logProblem(const std::string& problem) {
    if (!problem.empty()) {
        DD_LOG(LOG_ERR) << problem;
    }
}

}  // namespace

std::string readIniString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view fallback, size_t maxChars) {
    std::string problem;
    std::string value = platform::readIniString(path, section, key, fallback, maxChars, &problem);
    logProblem(problem);
    return value;
}

int readIniInt(const std::string& path, std::string_view section, std::string_view key,
               int fallback) {
    std::string problem;
    int value = platform::readIniInt(path, section, key, fallback, &problem);
    logProblem(problem);
    return value;
}

bool writeIniString(const std::string& path, std::string_view section, std::string_view key,
                    std::string_view value) {
    std::string problem;
    bool written = platform::writeIniString(path, section, key, value, &problem);
    logProblem(problem);
    return written;
}

}  // namespace dd::logged
