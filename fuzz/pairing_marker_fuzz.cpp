// A pairing marker downloaded from a phone: any bytes (empty, odd-length,
// not UTF-16, far larger than the 2048 bytes that are read). The text taken
// from it stays within 1023 units without a NUL, reads only the given bytes,
// and a marker written for an identity always reads back as that identity.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "android/pairing_marker.h"
#include "base/text_codec.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string marker(reinterpret_cast<const char*>(data), size);
    std::u16string text = dd::android::markerTextOf(marker);
    require(text.size() <= dd::android::kMarkerTextUnits);
    require(text.find(u'\0') == std::u16string::npos);
    require(text.size() * 2 <= size + 1);

    // The same bytes taken as an identity: its marker names it, unless the
    // identity is longer than the part of a marker that is compared.
    std::u16string identity = dd::utf8ToUtf16(marker);
    if (identity.size() <= dd::android::kMarkerTextUnits &&
        identity.find(u'\0') == std::u16string::npos) {
        require(dd::android::markerNamesThisPc(dd::android::encodeMarker(marker), marker));
    }
    return 0;
}
