#include "deviceinfo/info_cipher.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace dd {
namespace {

constexpr size_t kAesBlock = 16;

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

}  // namespace dd
