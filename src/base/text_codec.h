// Text at the module's boundary. Inside, text is UTF-8 std::string; the host
// sees UTF-16 in fixed record fields and the log stream works in wchar_t.
// Every conversion goes through here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dd {

std::u16string utf8ToUtf16(std::string_view utf8);
std::string utf16ToUtf8(std::u16string_view utf16);
std::wstring utf8ToWide(std::string_view utf8);
std::string wideToUtf8(std::wstring_view wide);
std::u16string wideToUtf16(std::wstring_view wide);

// Writes at most capacity-1 UTF-16 units of utf8 into field and always leaves a
// NUL; a surrogate pair is never split by the cut. capacity 0 writes nothing.
void copyToField(char16_t* field, size_t capacity, std::string_view utf8);
// Reads a fixed field up to its first NUL, never past capacity units.
std::string fieldToUtf8(const char16_t* field, size_t capacity);
template <size_t N>
void copyToField(char16_t (&field)[N], std::string_view utf8) {
    copyToField(field, N, utf8);
}
template <size_t N>
std::string fieldToUtf8(const char16_t (&field)[N]) {
    return fieldToUtf8(field, N);
}

// Serials, IMEIs and keys compare ignoring ASCII case.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool containsIgnoreCase(std::string_view haystack, std::string_view needle);
std::string toLowerAscii(std::string_view s);

// Keeps [A-Za-z0-9._-] and replaces everything else with '_', so text from a
// phone can become part of a file name; "." and ".." become "_".
std::string safeFileComponent(std::string_view s, size_t maxLength = 64);

// Removes leading and trailing blanks (space, tab, CR, LF).
std::string_view trim(std::string_view s);

}  // namespace dd
