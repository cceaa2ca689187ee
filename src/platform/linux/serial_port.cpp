#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace dd::platform {

namespace {

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool configureRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSTOPB | CSIZE | PARENB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0) {
        return false;
    }
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

SerialOpen SerialPort::open(const std::string& path, bool configure, int& errnoOut) {
    close();
    errnoOut = 0;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        errnoOut = errno;
        switch (errnoOut) {
            case ENOENT:
            case ENODEV:
            case ENXIO:
                return SerialOpen::kMissing;
            case EBUSY:
                return SerialOpen::kBusy;
            case EACCES:
            case EPERM:
                return SerialOpen::kDenied;
            default:
                return SerialOpen::kFailed;
        }
    }
    // Programs that probe modems take the same advisory lock; a port someone
    // holds is left to them and tried again later.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        errnoOut = errno;
        return errnoOut == EWOULDBLOCK ? SerialOpen::kBusy : SerialOpen::kFailed;
    }
    if (configure) {
        if (!::isatty(fd.get()) || !configureRaw(fd.get())) {
            errnoOut = errno;
            return SerialOpen::kFailed;
        }
        ::tcflush(fd.get(), TCIOFLUSH);
    }
    m_fd = std::move(fd);
    return SerialOpen::kOk;
}

void SerialPort::close() {
    m_fd.reset();
}

size_t SerialPort::writeAll(const uint8_t* data, size_t size, std::chrono::milliseconds timeout) {
    if (!m_fd) {
        return 0;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t written = 0;
    while (written < size) {
        ssize_t n = ::write(m_fd.get(), data + written, size - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            break;
        }
        pollfd pfd{m_fd.get(), POLLOUT, 0};
        int ready = ::poll(&pfd, 1, remainingMs(deadline));
        if (ready <= 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            break;
        }
    }
    if (written > 0 && ::isatty(m_fd.get())) {
        ::tcdrain(m_fd.get());
    }
    return written;
}

SerialRead SerialPort::readSome(std::string& out, size_t maxBytes, const WakeHandle* wake0,
                                const WakeHandle* wake1, int& woken,
                                std::chrono::milliseconds timeout) {
    woken = -1;
    if (!m_fd) {
        return SerialRead::kGone;
    }
    // A negative descriptor is ignored by poll.
    pollfd fds[3] = {{m_fd.get(), POLLIN, 0},
                     {wake0 != nullptr ? wake0->native() : -1, POLLIN, 0},
                     {wake1 != nullptr ? wake1->native() : -1, POLLIN, 0}};
    int ready;
    do {
        ready = ::poll(fds, 3, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        return SerialRead::kGone;
    }
    if (ready == 0) {
        return SerialRead::kTimeout;
    }
    for (int i = 1; i < 3; ++i) {
        if ((fds[i].revents & POLLIN) != 0) {
            woken = i - 1;
            return SerialRead::kWoken;
        }
    }
    if ((fds[0].revents & POLLIN) != 0) {
        char buffer[4096];
        size_t want = maxBytes < sizeof(buffer) ? maxBytes : sizeof(buffer);
        ssize_t n = ::read(m_fd.get(), buffer, want);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
            return SerialRead::kData;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return SerialRead::kTimeout;
        }
        return SerialRead::kGone;  // EOF or EIO: the other end is gone
    }
    return SerialRead::kGone;  // POLLHUP, POLLERR, POLLNVAL without data
}

void SerialPort::flushInput() {
    if (m_fd && ::isatty(m_fd.get())) {
        ::tcflush(m_fd.get(), TCIFLUSH);
    }
}

void SerialPort::dropModemLines() {
    if (m_fd && ::isatty(m_fd.get())) {
        int lines = TIOCM_DTR | TIOCM_RTS;
        ::ioctl(m_fd.get(), TIOCMBIC, &lines);  // a pty has no modem lines: ignored
    }
}

}  // namespace dd::platform
