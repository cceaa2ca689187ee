#include "utf16_text.h"

#include "base/utf8_encode.h"

namespace devctl {

std::string utf16ToUtf8(const char16_t* text, size_t units) {
    return dd::utf16UnitsToUtf8(text, units);
}

std::string fieldToUtf8(const char16_t* field, size_t capacity) {
    return utf16ToUtf8(field, capacity);
}

}  // namespace devctl
