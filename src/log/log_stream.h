// The module's leveled log stream. A call site tests the level first and only
// then formats, so a switched-off line costs one integer comparison:
//
//     DD_LOG(LOG_INFO) << "wait 7890";
//
// The line is built in a fixed 512-unit area inside the LogLine (511 units of
// text, header included; the rest is cut) and handed to the suite's log sink
// when the statement ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "log/zklib.h"

enum LogLevel : int32_t {
    LOG_CRIT = 1,   // "Crit"
    LOG_ERR = 2,    // "Err "
    LOG_WAR = 3,    // "War "
    LOG_INFO = 4,   // "Info"
    LOG_DEBUG = 5,  // "Dbug"
};

// Option bits of LogInit.
constexpr uint32_t LOG_OPT_STDOUT = 2;  // also write each line to standard output
constexpr uint32_t LOG_OPT_HEADER = 4;  // write the line header
constexpr uint32_t LOG_OPT_SINK = 8;    // header, and send the line to OutputString

// Sets the process-wide options, level (0 switches everything off) and
// module name (at most 49 characters are kept).
void LogInit(uint32_t options, int32_t level, const char* moduleName);
// True when a line of this level would be written.
bool isLogLevelOn(int32_t level);
// The current level, for code that wants to skip work that only feeds a dump.
int32_t currentLogLevel();
// The four-character tag of a level ("Err " and "War " end with a blank).
const wchar_t* logLevelTag(int32_t level);
// Severity handed to OutputString for a level: 3 for 1..3, 2 for 4, 1 for 5, 0 else.
int32_t logSinkSeverity(int32_t level);

class LogLine {
  public:
    static constexpr size_t kUnits = 512;

    LogLine(int32_t level, const char* sourcePath, unsigned sourceLine);
    ~LogLine();  // emits the line
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    std::wostream& stream() { return m_stream; }

    // Narrow text is UTF-8.
    LogLine& operator<<(const char* text);
    LogLine& operator<<(const std::string& text) { return *this << std::string_view(text); }
    LogLine& operator<<(std::string_view text);
    LogLine& operator<<(const std::u16string& text);
    LogLine& operator<<(const char16_t* text);
    LogLine& operator<<(const wchar_t* text);
    // Other pointers print as addresses (never as a bool).
    LogLine& operator<<(const void* pointer);
    LogLine& operator<<(const std::wstring& text);
    LogLine& operator<<(char c);
    LogLine& operator<<(bool value);
    LogLine& operator<<(std::wostream& (*manipulator)(std::wostream&));
    LogLine& operator<<(std::ios_base& (*manipulator)(std::ios_base&));
    template <typename Number>
    LogLine& operator<<(Number value) requires std::is_arithmetic_v<Number> {
        m_stream << value;
        return *this;
    }

  private:
    void writeHeader();

    wchar_t m_area[kUnits];
    ZkLib::oDataStream m_stream;
    int32_t m_level;
    const char* m_sourcePath;
    unsigned m_sourceLine;
};

#define DD_LOG(level)             \
    if (!::isLogLevelOn(level)) { \
    } else                        \
        ::LogLine((level), __FILE__, __LINE__)
