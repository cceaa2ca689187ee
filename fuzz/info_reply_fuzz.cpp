// The "/info/" reply path: Base64, AES and the JSON reading into
// AndroidDeviceInfo. The first byte picks what the rest is, so the fuzzer
// reaches the JSON reader too instead of only feeding it cipher noise:
//   0: the reply body as it comes off the socket
//   1: a JSON document, sealed as the service does, then read as a body
//   2: a JSON document read as a plain (non-Base64) body
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "companion_http.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/info_cipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    AndroidDeviceInfo info;
    switch (data[0] % 3) {
        case 0:
            info.parseInfoReply(rest);
            break;
        case 1:
            info.parseInfoReply(phonesim::sealInfoReply(rest, dd::kInfoCipherKey));
            break;
        default:
            info.parseInfoReply(rest);
            dd::AesDecryptEcb(dd::kInfoCipherKey, rest);
            dd::Base64Decode(rest);
            break;
    }
    return 0;
}
