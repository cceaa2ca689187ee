#include "platform/instance_lock.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/private_dir.h"

namespace dd::platform {

InstanceLock::Result InstanceLock::tryAcquire(const std::string& lockFile, std::string* problem) {
    release();
    std::string reason;
    UniqueFd fd = openPrivateFile(lockFile, 0, &reason);
    if (!fd) {
        struct stat st {};
        bool planted = lstat(lockFile.c_str(), &st) == 0 &&
                       (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode) || st.st_uid != geteuid());
        if (problem != nullptr) {
            *problem = reason;
        }
        return planted ? Result::Untrusted : Result::Failed;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return Result::HeldElsewhere;
        }
        if (problem != nullptr) {
            *problem = lockFile + ": flock (" + std::strerror(errno) + ")";
        }
        return Result::Failed;
    }
    m_fd = std::move(fd);
    return Result::Acquired;
}

void InstanceLock::release() {
    if (m_fd.valid()) {
        flock(m_fd.get(), LOCK_UN);
        m_fd.reset();
    }
}

}  // namespace dd::platform
