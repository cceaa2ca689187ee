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

namespace {

std::mutex g_sinkMutex;  // guards g_fd and g_path
int g_fd = -1;           // open log file, reopened when the configured path changes
std::string g_path;

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The sink keeps its own small converter: it is a separate library and must
// not depend on the module's internals.
std::string toUtf8(const char16_t* s) {
    std::string out;
    if (s == nullptr) {
        return out;
    }
    for (; *s != 0; ++s) {
        uint32_t cp = *s;
        if (cp >= 0xD800 && cp <= 0xDBFF && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[1] - 0xDC00);
            ++s;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // lone surrogate
        }
        appendUtf8(out, cp);
    }
    return out;
}

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
    std::string text = toUtf8(line);
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
