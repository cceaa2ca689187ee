// AES-ECB through Windows' CNG (BCrypt): the same bytes as the OpenSSL
// build, no padding removed, a trailing partial block decrypted from a
// zero-filled copy.
#include "deviceinfo/info_cipher.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace dd {
namespace {

constexpr size_t kAesBlock = 16;

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

// The AES provider in ECB mode, opened once per process: opening a CNG
// provider is far dearer than a key, and the handle may be shared by threads.
BCRYPT_ALG_HANDLE ecbProvider() {
    static BCRYPT_ALG_HANDLE provider = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (!succeeded(BCryptOpenAlgorithmProvider(&opened, BCRYPT_AES_ALGORITHM, nullptr, 0))) {
            return;
        }
        auto* mode = reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB));
        if (!succeeded(BCryptSetProperty(opened, BCRYPT_CHAINING_MODE, mode,
                                         sizeof(BCRYPT_CHAIN_MODE_ECB), 0))) {
            BCryptCloseAlgorithmProvider(opened, 0);
            return;
        }
        provider = opened;
    });
    return provider;
}

struct KeyDestroy {
    void operator()(void* key) const { BCryptDestroyKey(static_cast<BCRYPT_KEY_HANDLE>(key)); }
};
using KeyHandle = std::unique_ptr<void, KeyDestroy>;

// Decrypts whole blocks in place; false when CNG refuses.
bool decryptBlocks(BCRYPT_KEY_HANDLE key, unsigned char* bytes, size_t size) {
    ULONG written = 0;
    NTSTATUS status = BCryptDecrypt(key, bytes, static_cast<ULONG>(size), nullptr, nullptr, 0,
                                    bytes, static_cast<ULONG>(size), &written, 0);
    return succeeded(status) && written == size;
}

}  // namespace

std::string AesDecryptEcb(std::string_view key, std::string_view data) {
    if ((key.size() != 16 && key.size() != 24 && key.size() != 32) || data.empty() ||
        data.size() > 0x7FFFFFF0u) {
        return {};
    }
    BCRYPT_ALG_HANDLE provider = ecbProvider();
    if (provider == nullptr) {
        return {};
    }
    std::vector<unsigned char> secret(key.begin(), key.end());
    BCRYPT_KEY_HANDLE rawKey = nullptr;
    if (!succeeded(BCryptGenerateSymmetricKey(provider, &rawKey, nullptr, 0, secret.data(),
                                              static_cast<ULONG>(secret.size()), 0))) {
        return {};
    }
    KeyHandle owned(rawKey);
    size_t whole = data.size() / kAesBlock * kAesBlock;
    size_t rest = data.size() - whole;
    // Room for one extra block: the partial block is decrypted whole, from a
    // zero-filled copy, never reading past the input.
    std::string out(whole + (rest != 0 ? kAesBlock : 0), '\0');
    std::memcpy(out.data(), data.data(), data.size());
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    if (!decryptBlocks(rawKey, bytes, out.size())) {
        return {};
    }
    out.resize(data.size());
    return out;
}

}  // namespace dd
