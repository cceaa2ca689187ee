// The portable halves of the reply codecs: Base64 and the UTF-8 repairs.
// Only the AES step needs the system's crypto library (info_cipher.cpp,
// info_cipher_win32.cpp).
#include "deviceinfo/info_cipher.h"

#include <array>
#include <cstdint>

#include "base/text_codec.h"

namespace dd {
namespace {

// Value of a Base64 character, or -1 for everything outside the alphabet.
constexpr std::array<int8_t, 256> makeBase64Table() {
    std::array<int8_t, 256> table{};
    for (auto& entry : table) {
        entry = -1;
    }
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
    }
    return table;
}
constexpr std::array<int8_t, 256> kBase64Values = makeBase64Table();

}  // namespace

std::string Base64Decode(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t group = 0;
    int count = 0;
    for (char c : text) {
        int8_t value = kBase64Values[static_cast<unsigned char>(c)];
        if (value < 0) {
            continue;
        }
        group = (group << 6) | static_cast<uint32_t>(value);
        if (++count == 4) {
            out += static_cast<char>((group >> 16) & 0xFF);
            out += static_cast<char>((group >> 8) & 0xFF);
            out += static_cast<char>(group & 0xFF);
            group = 0;
            count = 0;
        }
    }
    // A final group of n valid characters carries 6n bits: n-1 whole bytes.
    if (count == 2) {
        out += static_cast<char>((group >> 4) & 0xFF);
    } else if (count == 3) {
        out += static_cast<char>((group >> 10) & 0xFF);
        out += static_cast<char>((group >> 2) & 0xFF);
    }
    return out;
}

std::string ToUtf8(std::u16string_view text) {
    return utf16ToUtf8(text);
}

std::u16string FromUtf8(std::string_view text) {
    return utf8ToUtf16(text);
}

std::string cleanPhoneText(std::string_view text) {
    size_t nul = text.find('\0');
    if (nul != std::string_view::npos) {
        text = text.substr(0, nul);
    }
    return utf16ToUtf8(utf8ToUtf16(text));
}

}  // namespace dd
