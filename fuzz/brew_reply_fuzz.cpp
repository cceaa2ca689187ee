// Whatever bytes a BREW phone sends back: the reply is unwrapped, then read
// as every kind of reply the phone thread reads. Nothing may read past the
// bytes, and every value taken is bounded and a piece of the reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "brew/brew_frame.h"
#include "brew/brew_reply.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string received(reinterpret_cast<const char*>(data), size);  // exact size for ASan
    std::string payload;
    bool accepted = dd::brew::unwrapReply(received, payload);
    require(payload.size() <= size);
    require(accepted || payload.empty());
    // Read the raw bytes too: a phone's payload can hold anything.
    for (std::string_view text : {std::string_view(payload), std::string_view(received)}) {
        dd::brew::isBusyReply(text);
        std::string value;
        int result = dd::brew::getReplyValue(text, "DetectPhone", "IMEI", value);
        require(result == dd::brew::kValueFound || result == dd::brew::kValueBeforeOk ||
                result == dd::brew::kValueMissing);
        require(value.size() <= dd::brew::kMaxValueBytes);
        require(result == dd::brew::kValueMissing || text.find(value) != std::string_view::npos);
        std::string content;
        if (dd::brew::parseReadPicture(text, content)) {
            require(content.size() <= dd::brew::kMaxPictureBytes);
            require(text.find(content) != std::string_view::npos);
            for (const std::string& name : dd::brew::syncSvrNames(content)) {
                require(!name.empty() && name.find('\0') == std::string::npos);
            }
        }
        std::string_view setting = dd::brew::syncSettingText(text);
        for (const std::string& name : dd::brew::syncSettingNames(setting)) {
            require(!name.empty() && name.size() <= setting.size());
        }
        std::string clean = dd::brew::cleanPhoneText(text, 64);
        require(clean.size() <= 64);
        dd::brew::isSafeImei(value);
        dd::brew::isSafeModelFileName(value);
    }
    // A frame built from the payload unwraps to it again (as a reply, with
    // the phone's two extra bytes after the header).
    std::string frame = dd::brew::buildFrame(payload);
    std::string reply = frame.substr(0, 3) + std::string(2, '\0') + frame.substr(3);
    std::string back;
    require(dd::brew::unwrapReply(reply, back) && back == payload);
    return 0;
}
