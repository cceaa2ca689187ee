#include "platform/handle_wait.h"

#include <poll.h>

#include <cerrno>
#include <vector>

namespace dd::platform {

int waitForHandles(const NativeHandle* handles, size_t count, int timeoutMs, bool* ready) {
    std::vector<pollfd> fds(count);
    for (size_t i = 0; i < count; ++i) {
        // A negative descriptor is skipped by poll.
        fds[i] = {handles[i] == kNoHandle ? -1 : static_cast<int>(handles[i]), POLLIN, 0};
        ready[i] = false;
    }
    int n = poll(fds.data(), fds.size(), timeoutMs);
    if (n <= 0) {
        return n < 0 && errno != EINTR ? -1 : 0;
    }
    int found = 0;
    for (size_t i = 0; i < count; ++i) {
        // Hung up or failed counts too: the next read says which.
        ready[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        found += ready[i] ? 1 : 0;
    }
    return found;
}

}  // namespace dd::platform
