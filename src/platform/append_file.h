// A private file that lines are appended to (the log), and the process's
// standard error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/native_handle.h"

namespace dd::platform {

class AppendFile {
  public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens (creating 0600) a regular file of this user for appending, the
    // way openPrivateFile does: never through a symbolic link, never a FIFO
    // or device node. False with a plain reason in problem.
    bool open(const std::string& path, std::string* problem);
    void close();
    bool isOpen() const { return m_handle != kNoHandle; }
    // Its size when it was opened.
    uint64_t sizeAtOpen() const { return m_sizeAtOpen; }
    // Writes all of text; false when it could not.
    bool append(std::string_view text);

  private:
    NativeHandle m_handle = kNoHandle;
    uint64_t m_sizeAtOpen = 0;
};

// Writes all of text to standard error, unbuffered; false when it could not.
bool writeStandardError(std::string_view text);

}  // namespace dd::platform
