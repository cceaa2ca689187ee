#include "platform/folder_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

namespace dd::platform {

FolderWatch::FolderWatch(const std::string& path) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return;
    }
    // A file written in place, one renamed over it, and one taken away.
    if (inotify_add_watch(fd, path.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
        close(fd);
        return;
    }
    m_handle = fd;
}

FolderWatch::~FolderWatch() {
    if (m_handle != kNoHandle) {
        close(static_cast<int>(m_handle));
    }
}

void FolderWatch::drain() {
    if (m_handle == kNoHandle) {
        return;
    }
    alignas(inotify_event) char buffer[4096];
    while (::read(static_cast<int>(m_handle), buffer, sizeof(buffer)) > 0) {
    }
}

}  // namespace dd::platform
