#include "platform/wake_handle.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace dd::platform {

WakeHandle::WakeHandle() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void WakeHandle::signal() const {
    if (m_fd.valid()) {
        uint64_t one = 1;
        (void)!::write(m_fd.get(), &one, sizeof(one));
    }
}

void WakeHandle::drain() const {
    if (m_fd.valid()) {
        uint64_t count = 0;
        (void)!::read(m_fd.get(), &count, sizeof(count));
    }
}

}  // namespace dd::platform
