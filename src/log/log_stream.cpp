#include "log/log_stream.h"

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <mutex>

#include "base/log_text.h"
#include "base/text_codec.h"
#include "output_log.h"
#include "platform/local_time.h"
#include "platform/this_thread.h"

namespace {

// Written by LogInit (on the host's thread, before detection starts) and read
// by every thread that logs; atomics so that a re-init in tests stays clean.
// The objects with constructors are built before, and destroyed after, every
// other static of the module (init_priority), so theApp may still log while
// it is destroyed at unload.
#define DD_LOG_STATE __attribute__((init_priority(101)))
std::atomic<uint32_t> g_options{0};
std::atomic<int32_t> g_level{0};
std::mutex g_nameMutex DD_LOG_STATE;  // guards the names against a concurrent LogInit
std::u16string g_moduleName DD_LOG_STATE;
std::wstring g_moduleNameWide DD_LOG_STATE;

ZkLib::Mutex g_emitLock DD_LOG_STATE;  // serialises emission so lines never interleave

// No thread_local here: a thread-local object with a destructor would keep
// the library from ever being unloaded.
std::wstring baseName(const char* path) {
    std::string_view p(path != nullptr ? path : "");
    size_t cut = p.find_last_of("\\/");
    return dd::utf8ToWide(cut == std::string_view::npos ? p : p.substr(cut + 1));
}

}  // namespace

void LogInit(uint32_t options, int32_t level, const char* moduleName) {
    std::string name(moduleName != nullptr ? moduleName : "");
    std::wstring wide = dd::utf8ToWide(name);
    if (wide.size() > 49) {
        wide.resize(49);
    }
    {
        std::lock_guard<std::mutex> lock(g_nameMutex);
        g_moduleNameWide = wide;
        g_moduleName = dd::wideToUtf16(wide);
    }
    g_options.store(options, std::memory_order_relaxed);
    g_level.store(level, std::memory_order_relaxed);
}

bool isLogLevelOn(int32_t level) {
    return level <= g_level.load(std::memory_order_relaxed);
}

int32_t currentLogLevel() {
    return g_level.load(std::memory_order_relaxed);
}

const wchar_t* logLevelTag(int32_t level) {
    switch (level) {
        case LOG_CRIT:
            return L"Crit";
        case LOG_ERR:
            return L"Err ";
        case LOG_WAR:
            return L"War ";
        case LOG_INFO:
            return L"Info";
        case LOG_DEBUG:
            return L"Dbug";
        default:
            return L"None";
    }
}

int32_t logSinkSeverity(int32_t level) {
    switch (level) {
        case LOG_CRIT:
        case LOG_ERR:
        case LOG_WAR:
            return 3;
        case LOG_INFO:
            return 2;
        case LOG_DEBUG:
            return 1;
        default:
            return 0;
    }
}

LogLine::LogLine(int32_t level, const char* sourcePath, unsigned sourceLine)
    : m_stream(m_area, kUnits), m_level(level), m_sourcePath(sourcePath), m_sourceLine(sourceLine) {
    if ((g_options.load(std::memory_order_relaxed) & (LOG_OPT_HEADER | LOG_OPT_SINK)) != 0) {
        writeHeader();
    }
}

void LogLine::writeHeader() {
    const dd::platform::LocalTime local = dd::platform::localTimeNow();
    wchar_t stamp[40];
    std::swprintf(stamp, sizeof(stamp) / sizeof(stamp[0]), L"%04d-%02d-%02d %02d:%02d:%02d:%03d",
                  local.year, local.month, local.day, local.hour, local.minute, local.second,
                  local.millisecond);
    std::wstring name;
    {
        std::lock_guard<std::mutex> lock(g_nameMutex);
        name = g_moduleNameWide;
    }
    m_stream << stamp << L" | " << logLevelTag(m_level) << L" | " << name << L"\t | "
             << baseName(m_sourcePath) << L':' << m_sourceLine << L"\t\t | "
             << dd::platform::thisThreadId() << L" | ";
}

LogLine::~LogLine() {
    std::wstring_view text(m_stream.text(), m_stream.length());
    uint32_t options = g_options.load(std::memory_order_relaxed);
    ZkLib::ScopedLock lock(&g_emitLock);
    if ((options & LOG_OPT_STDOUT) != 0) {
        std::string narrow = dd::wideToUtf8(text);
        std::fwrite(narrow.data(), 1, narrow.size(), stdout);
        std::fflush(stdout);
    }
    if ((options & LOG_OPT_SINK) != 0) {
        std::u16string line = dd::wideToUtf16(text);
        std::u16string module;
        {
            std::lock_guard<std::mutex> nameLock(g_nameMutex);
            module = g_moduleName;
        }
        OutputString(module.c_str(), logSinkSeverity(m_level), line.c_str());
    }
}

LogLine& LogLine::operator<<(const char* text) {
    return *this << std::string_view(text != nullptr ? text : "(null)");
}

// Narrow text is where phone-supplied values (serials, models, replies) enter
// a line: control bytes are escaped (base/log_text.h).
LogLine& LogLine::operator<<(std::string_view text) {
    m_stream << dd::utf8ToWide(dd::escapeLogText(text));
    return *this;
}

LogLine& LogLine::operator<<(const std::u16string& text) {
    return *this << dd::utf16ToUtf8(text);
}

LogLine& LogLine::operator<<(const char16_t* text) {
    return *this << std::u16string(text != nullptr ? text : u"(null)");
}

LogLine& LogLine::operator<<(const void* pointer) {
    m_stream << pointer;
    return *this;
}

LogLine& LogLine::operator<<(const wchar_t* text) {
    m_stream << (text != nullptr ? text : L"(null)");
    return *this;
}

LogLine& LogLine::operator<<(const std::wstring& text) {
    m_stream << text;
    return *this;
}

LogLine& LogLine::operator<<(char c) {
    m_stream << static_cast<wchar_t>(static_cast<unsigned char>(c));
    return *this;
}

LogLine& LogLine::operator<<(bool value) {
    m_stream << (value ? 1 : 0);
    return *this;
}

LogLine& LogLine::operator<<(std::wostream& (*manipulator)(std::wostream&)) {
    if (manipulator == static_cast<std::wostream& (*)(std::wostream&)>(std::endl)) {
        m_stream << L'\n';  // no flush: the line is emitted as a whole at the end
        return *this;
    }
    m_stream << manipulator;
    return *this;
}

LogLine& LogLine::operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
    m_stream << manipulator;
    return *this;
}
