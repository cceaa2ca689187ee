#include "platform/standard_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace dd::platform {

struct StandardInput::State {};

StandardInput::StandardInput() = default;
StandardInput::~StandardInput() = default;

bool StandardInput::isTerminal() const {
    return isatty(STDIN_FILENO) != 0;
}

NativeHandle StandardInput::handle() const {
    return STDIN_FILENO;
}

long StandardInput::read(char* buffer, size_t size) {
    ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR ? -1 : 0;
    }
    return static_cast<long>(n);
}

}  // namespace dd::platform
