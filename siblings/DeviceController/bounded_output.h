// The caller's output buffer: text is appended until the buffer is full and
// the buffer always ends in a NUL, whatever was appended.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace devctl {

class BoundedOutput {
  public:
    // size includes the NUL; a null buffer or size 0 takes nothing.
    BoundedOutput(char* buffer, size_t size)
        : m_buffer(buffer), m_capacity(size > 0 ? size - 1 : 0) {
        if (m_buffer != nullptr && size > 0) {
            m_buffer[0] = 0;
        } else {
            m_capacity = 0;
        }
    }
    void append(std::string_view text) {
        size_t take = text.size() < room() ? text.size() : room();
        if (take > 0) {
            std::memcpy(m_buffer + m_used, text.data(), take);
        }
        m_used += take;
        if (m_capacity > 0) {
            m_buffer[m_used] = 0;
        }
    }
    size_t room() const { return m_capacity - m_used; }
    bool full() const { return m_used == m_capacity; }
    size_t used() const { return m_used; }
    std::string_view text() const { return {m_buffer, m_used}; }

  private:
    char* m_buffer;
    size_t m_capacity;
    size_t m_used = 0;
};

}  // namespace devctl
