// libOutputLog.so: the suite's log sink. DeviceDetect hands it every finished
// log line; it appends the line to a file and can mirror it to stderr.
#pragma once

#include <cstdint>

#define OUTPUTLOG_API extern "C" __attribute__((visibility("default")))

// module: UTF-16 name of the writing module; severity: 0 none, 1 debug,
// 2 information, 3 warning and worse; line: UTF-16 text, normally ending in a
// newline. The file is DEVICEDETECT_LOG_FILE, else
// $XDG_DATA_HOME/Orq Sync/PCSync/log/DeviceDetect.log, created 0600 and never
// opened through a symbolic link. It is capped at DEVICEDETECT_LOG_MAX_BYTES
// (8 MiB) and then turned over to "DeviceDetect.log.1", one older copy. With
// DEVICEDETECT_LOG_STDERR=1 the line also goes to stderr. Thread-safe.
OUTPUTLOG_API void OutputString(const char16_t* module, int32_t severity, const char16_t* line);
