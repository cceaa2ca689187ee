// A phone's getprop output, whatever it holds: the parser reads only those
// bytes, every value it takes is a piece of one line, and the found-mask
// holds only the five known bits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "android/getprop_parser.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string received(reinterpret_cast<const char*>(data), size);  // exact size for ASan
    std::string_view text(received);
    KernelInfo info;
    int32_t bootCompleted = 0;
    uint32_t found = dd::android::parseKernelInfo(text, info, bootCompleted);
    require((found & ~31u) == 0);
    require(bootCompleted == ((found & 16u) != 0 ? 1 : 0));
    require(info.model.size() <= size && info.brand.size() <= size &&
            info.productVersion.size() <= size);
    require(info.model.empty() || text.find(info.model) != std::string_view::npos);
    require(info.brand.empty() || text.find(info.brand) != std::string_view::npos);
    std::string_view boot = dd::android::findBootCompletedLine(text);
    require(boot.empty() || boot.find("[sys.boot_completed]:") != std::string_view::npos);
    require(dd::android::utf16Length(text) <= size);
    return 0;
}
