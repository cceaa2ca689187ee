#include "deviceinfo/info_cipher.h"

#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <memory>

#include "base/text_codec.h"

namespace dd {
namespace {

constexpr size_t kAesBlock = 16;

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

const EVP_CIPHER* cipherForKeyLength(size_t length) {
    switch (length) {
        case 16:
            return EVP_aes_128_ecb();
        case 24:
            return EVP_aes_192_ecb();
        case 32:
            return EVP_aes_256_ecb();
        default:
            return nullptr;
    }
}

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

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

std::string AesDecryptEcb(std::string_view key, std::string_view data) {
    const EVP_CIPHER* cipher = cipherForKeyLength(key.size());
    if (cipher == nullptr || data.empty()) {
        return {};
    }
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context ||
        EVP_DecryptInit_ex(context.get(), cipher, nullptr,
                           reinterpret_cast<const unsigned char*>(key.data()), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
        return {};
    }
    size_t whole = data.size() / kAesBlock * kAesBlock;
    size_t rest = data.size() - whole;
    // Room for one extra block: the partial block is decrypted whole.
    std::string out(whole + (rest != 0 ? kAesBlock : 0), '\0');
    auto* outBytes = reinterpret_cast<unsigned char*>(out.data());
    int written = 0;
    if (whole != 0 && (EVP_DecryptUpdate(context.get(), outBytes, &written,
                                         reinterpret_cast<const unsigned char*>(data.data()),
                                         static_cast<int>(whole)) != 1 ||
                       static_cast<size_t>(written) != whole)) {
        return {};
    }
    if (rest != 0) {
        // The service pads to whole blocks; a cut reply still decrypts its
        // last bytes from a zero-filled block, never reading past the input.
        unsigned char last[kAesBlock] = {};
        std::memcpy(last, data.data() + whole, rest);
        if (EVP_DecryptUpdate(context.get(), outBytes + whole, &written, last,
                              static_cast<int>(kAesBlock)) != 1 ||
            static_cast<size_t>(written) != kAesBlock) {
            return {};
        }
    }
    out.resize(data.size());
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
