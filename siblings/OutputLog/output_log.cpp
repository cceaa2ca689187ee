#include "output_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/utf8_encode.h"
#include "platform/append_file.h"
#include "platform/paths.h"
#include "platform/private_dir.h"

namespace {

constexpr uint64_t kDefaultMaxLogBytes = 8ull << 20;

std::mutex g_sinkMutex;           // guards everything below
dd::platform::AppendFile g_file;  // reopened when the configured path changes
std::string g_path;
uint64_t g_size = 0;     // bytes in the open file
std::string g_reported;  // the last problem told on stderr, told once

// The data folder's "log/DeviceDetect.log", the data folder found as the
// module finds it. *fallback names the folder it lies in when there is no
// home (privateFallbackDir()), else it is cleared.
std::string defaultLogPath(std::string* fallback) {
    return dd::platform::dataHome(fallback) + "/Orq Sync/PCSync/log/DeviceDetect.log";
}

// DEVICEDETECT_LOG_MAX_BYTES, else 8 MiB: the file is turned over to
// "<name>.1" (one older copy kept) when a line would take it past this.
uint64_t maxLogBytes() {
    const char* text = std::getenv("DEVICEDETECT_LOG_MAX_BYTES");
    if (text != nullptr && *text != 0) {
        char* end = nullptr;
        unsigned long long value = std::strtoull(text, &end, 10);
        if (end != text && *end == 0 && value >= 1024) {
            return value;
        }
    }
    return kDefaultMaxLogBytes;
}

// A log that cannot be written says so once on stderr, with the reason.
void reportOnce(const std::string& problem) {
    if (problem == g_reported) {
        return;
    }
    g_reported = problem;
    dd::platform::writeStandardError("DeviceDetect log: " + problem +
                                     "; lines are not written there\n");
}

void openLog(const std::string& path, const std::string& fallback) {
    g_file.close();
    g_path = path;
    g_size = 0;
    std::string problem;
    // A fallback folder that someone else made (or could enter) would hand
    // them the log: it is not used, and the reason goes to stderr.
    if (!fallback.empty() && !dd::platform::ensurePrivateDir(fallback, &problem)) {
        reportOnce("no home folder, and " + problem);
        return;
    }
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        dd::platform::makeDirectories(path.substr(0, slash));
    }
    if (!g_file.open(path, &problem)) {
        reportOnce(problem);
        return;
    }
    g_size = g_file.sizeAtOpen();
}

// Keeps one older copy: the current file becomes "<path>.1" and a new one starts.
void turnOver() {
    g_file.close();
    std::string older = g_path + ".1";
    if (std::rename(g_path.c_str(), older.c_str()) != 0) {
        std::remove(g_path.c_str());
    }
    openLog(g_path, {});  // the folder passed its checks when the file was first opened
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
    std::string fallback;
    std::string path =
        (configured != nullptr && *configured != 0) ? configured : defaultLogPath(&fallback);

    std::lock_guard<std::mutex> lock(g_sinkMutex);
    if (!g_file.isOpen() || path != g_path) {
        openLog(path, fallback);
    }
    if (g_file.isOpen() && g_size > 0 && g_size + text.size() > maxLogBytes()) {
        turnOver();
    }
    if (g_file.isOpen() && g_file.append(text)) {
        g_size += text.size();
    }
    if (const char* mirror = std::getenv("DEVICEDETECT_LOG_STDERR");
        mirror != nullptr && std::strcmp(mirror, "1") == 0) {
        dd::platform::writeStandardError(text);
    }
}
