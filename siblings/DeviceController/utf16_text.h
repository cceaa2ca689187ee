// UTF-16 <-> UTF-8 for the library's boundary (the encoder is the module's
// header-only one; the library links nothing of the module).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace devctl {

// Converts units UTF-16 units (stopping early at a NUL); lone surrogates
// become U+FFFD.
std::string utf16ToUtf8(const char16_t* text, size_t units);
// The field up to its NUL, never past capacity.
std::string fieldToUtf8(const char16_t* field, size_t capacity);

}  // namespace devctl
