#include "platform/unique_fd.h"

#include <unistd.h>

namespace dd::platform {

void closeHandle(int fd) {
    ::close(fd);
}

}  // namespace dd::platform
