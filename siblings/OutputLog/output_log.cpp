#include "output_log.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/utf8_encode.h"

namespace {

std::mutex g_sinkMutex;  // guards g_fd and g_path
int g_fd = -1;           // open log file, reopened when the configured path changes
std::string g_path;

std::string defaultLogPath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg != 0) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == 0) {
            if (const passwd* pw = getpwuid(geteuid()); pw != nullptr) {
                home = pw->pw_dir;
            }
        }
        base = std::string(home != nullptr ? home : "/tmp") + "/.local/share";
    }
    return base + "/Orq Sync/PCSync/log/DeviceDetect.log";
}

void makeParents(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

OUTPUTLOG_API void OutputString(const char16_t* module, int32_t severity, const char16_t* line) {
    (void)module;
    (void)severity;  // already part of the line's header
    std::string text = dd::utf16UnitsToUtf8(line, SIZE_MAX);
    if (text.empty() || text.back() != '\n') {
        text += '\n';  // a cut line still ends its own row in the file
    }
    const char* configured = std::getenv("DEVICEDETECT_LOG_FILE");
    std::string path = (configured != nullptr && *configured != 0) ? configured : defaultLogPath();

    std::lock_guard<std::mutex> lock(g_sinkMutex);
    if (g_fd < 0 || path != g_path) {
        if (g_fd >= 0) {
            close(g_fd);
        }
        makeParents(path);
        g_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        g_path = path;
    }
    if (g_fd >= 0) {
        writeAll(g_fd, text);
    }
    if (const char* mirror = std::getenv("DEVICEDETECT_LOG_STDERR");
        mirror != nullptr && std::strcmp(mirror, "1") == 0) {
        writeAll(STDERR_FILENO, text);
    }
}
