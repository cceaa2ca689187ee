#include "platform/append_file.h"

#include <fcntl.h>

#include "platform/private_dir.h"
#include "platform/regular_file.h"
#include "platform/unique_fd.h"

namespace dd::platform {

AppendFile::~AppendFile() {
    close();
}

bool AppendFile::open(const std::string& path, std::string* problem) {
    close();
    // Opened for appending (append-only access on Windows): every line lands
    // at the end even when another process writes to the same log.
    UniqueFd fd = openPrivateFile(path, O_APPEND, problem);
    if (!fd) {
        return false;
    }
    uint64_t size = 0;
    if (openFileSize(fd.get(), size)) {
        m_sizeAtOpen = size;
    }
    m_handle = fd.release();
    return true;
}

}  // namespace dd::platform
