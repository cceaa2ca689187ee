#include "base/text_codec.h"

#include "base/utf8_encode.h"

namespace dd {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point and advances pos; malformed input yields U+FFFD and
// skips one byte, so that decoding always makes progress.
char32_t decodeUtf8(std::string_view s, size_t& pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = byte(pos);
    if (c < 0x80) {
        ++pos;
        return c;
    }
    size_t extra = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if ((c & 0xE0) == 0xC0) {
        extra = 1, cp = c & 0x1F, minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2, cp = c & 0x0F, minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3, cp = c & 0x07, minimum = 0x10000;
    } else {
        ++pos;
        return kReplacement;
    }
    if (pos + extra >= s.size()) {  // truncated sequence at the end
        ++pos;
        return kReplacement;
    }
    for (size_t i = 1; i <= extra; ++i) {
        unsigned char cc = byte(pos + i);
        if ((cc & 0xC0) != 0x80) {
            ++pos;
            return kReplacement;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return kReplacement;
    }
    pos += extra + 1;
    return cp;
}

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
        out += static_cast<char16_t>(cp);
    }
}

char32_t decodeUtf16(std::u16string_view s, size_t& pos) {
    char32_t c = s[pos++];
    if (c >= 0xD800 && c <= 0xDBFF && pos < s.size() && s[pos] >= 0xDC00 && s[pos] <= 0xDFFF) {
        return 0x10000 + ((c - 0xD800) << 10) + (s[pos++] - 0xDC00);
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
        return kReplacement;
    }
    return c;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::u16string utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t pos = 0; pos < utf8.size();) {
        appendUtf16(out, decodeUtf8(utf8, pos));
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (size_t pos = 0; pos < utf16.size();) {
        appendUtf8(out, decodeUtf16(utf16, pos));
    }
    return out;
}

std::wstring utf8ToWide(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    for (size_t pos = 0; pos < utf8.size();) {
        out += static_cast<wchar_t>(decodeUtf8(utf8, pos));
    }
    return out;
}

std::string wideToUtf8(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t w : wide) {
        char32_t cp = static_cast<char32_t>(w);
        appendUtf8(out, (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) ? kReplacement : cp);
    }
    return out;
}

std::u16string wideToUtf16(std::wstring_view wide) {
    std::u16string out;
    out.reserve(wide.size());
    for (wchar_t w : wide) {
        char32_t cp = static_cast<char32_t>(w);
        appendUtf16(out, (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) ? kReplacement : cp);
    }
    return out;
}

void copyToField(char16_t* field, size_t capacity, std::string_view utf8) {
    if (field == nullptr || capacity == 0) {
        return;
    }
    size_t used = 0;
    for (size_t pos = 0; pos < utf8.size();) {
        char32_t cp = decodeUtf8(utf8, pos);
        size_t units = cp >= 0x10000 ? 2 : 1;
        if (used + units > capacity - 1) {
            break;
        }
        if (units == 2) {
            cp -= 0x10000;
            field[used++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            field[used++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            field[used++] = static_cast<char16_t>(cp);
        }
    }
    field[used] = 0;
}

std::string fieldToUtf8(const char16_t* field, size_t capacity) {
    if (field == nullptr) {
        return {};
    }
    size_t length = 0;
    while (length < capacity && field[length] != 0) {
        ++length;
    }
    return utf16ToUtf8(std::u16string_view(field, length));
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool containsIgnoreCase(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) {
        return true;
    }
    if (needle.size() > haystack.size()) {
        return false;
    }
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        if (equalsIgnoreCase(haystack.substr(i, needle.size()), needle)) {
            return true;
        }
    }
    return false;
}

std::string toLowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = lowerAscii(c);
    }
    return out;
}

std::string safeFileComponent(std::string_view s, size_t maxLength) {
    std::string out;
    for (char c : s.substr(0, maxLength)) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
        out += keep ? c : '_';
    }
    if (out.empty() || out == "." || out == "..") {
        out = "_";
    }
    return out;
}

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

}  // namespace dd
