// Owner of a native handle (a file descriptor here): closes it exactly once.
#pragma once

#include <utility>

namespace dd::platform {

// Closes a handle; what the system says is ignored (there is nothing left
// to do with a handle whose close failed).
void closeHandle(int fd);

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    explicit operator bool() const { return valid(); }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1) {
        int old = std::exchange(m_fd, fd);
        if (old >= 0) {
            closeHandle(old);
        }
    }

  private:
    int m_fd = -1;
};

}  // namespace dd::platform
