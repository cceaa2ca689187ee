#include "platform/mounts.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

namespace dd::platform {

bool unmountNoFollow(const std::string& mountPoint, std::string* problem) {
    if (umount2(mountPoint.c_str(), UMOUNT_NOFOLLOW) == 0) {
        return true;
    }
    int error = errno;
    if (problem != nullptr) {
        *problem = std::strerror(error);
    }
    return false;
}

}  // namespace dd::platform
