#include "platform/append_file.h"

#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace dd::platform {
namespace {

bool writeAll(int fd, std::string_view text) {
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

void AppendFile::close() {
    if (m_handle != kNoHandle) {
        ::close(static_cast<int>(m_handle));
        m_handle = kNoHandle;
    }
    m_sizeAtOpen = 0;
}

bool AppendFile::append(std::string_view text) {
    return m_handle != kNoHandle && writeAll(static_cast<int>(m_handle), text);
}

bool writeStandardError(std::string_view text) {
    return writeAll(STDERR_FILENO, text);
}

}  // namespace dd::platform
