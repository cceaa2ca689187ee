#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace dd::platform {

InstanceLock::Result InstanceLock::tryAcquire(const std::string& lockFile) {
    release();
    UniqueFd fd(open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) {
        return Result::Failed;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? Result::HeldElsewhere : Result::Failed;
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
