// A text field that one thread writes while others read it (a device
// thread's serial, which host calls look up). Copies in and out under a
// mutex, so a reader never sees a half-replaced string.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "base/text_codec.h"

namespace dd {

class SharedText {
  public:
    std::string get() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }
    void set(std::string text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_text = std::move(text);
    }
    // Non-empty and equal to other ignoring ASCII case: how serials match.
    bool matches(std::string_view other) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_text.empty() && equalsIgnoreCase(m_text, other);
    }

  private:
    mutable std::mutex m_mutex;
    std::string m_text;
};

}  // namespace dd
