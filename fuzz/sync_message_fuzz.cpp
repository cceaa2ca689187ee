// The phone's bytes on the sync-status link: whatever one receive brings
// (at most 128 bytes in the module, any length here), the parser reads only
// those bytes, keeps its text bounded and a prefix of them, and finds the
// keywords in their fixed order; the log form holds only printable ASCII.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "android/sync_message.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool has(std::string_view bytes, std::string_view key) {
    return bytes.find(key) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so ASan sees any read past the received bytes.
    std::string received(reinterpret_cast<const char*>(data), size);
    std::string_view bytes(received);
    using dd::android::SyncRequestKind;

    dd::android::SyncRequest request = dd::android::parseSyncMessage(bytes);
    require(request.text.size() <= dd::android::kSyncTextBytes);
    require(bytes.substr(0, request.text.size()) == request.text);
    bool anchored = has(bytes, ";") || has(bytes, "STOP_APP");
    switch (request.kind) {
        case SyncRequestKind::Ignored:
            require(!anchored && request.text.empty());
            break;
        case SyncRequestKind::Start:
            require(has(bytes, ";START"));
            break;
        case SyncRequestKind::Stop:
            require(!has(bytes, ";START") && has(bytes, ";STOP"));
            break;
        case SyncRequestKind::StopApp:
            require(!has(bytes, ";STOP") && has(bytes, "STOP_APP"));
            break;
        case SyncRequestKind::Undefined:
            require(has(bytes, ";") && !has(bytes, ";STOP") && !has(bytes, "STOP_APP"));
            break;
    }
    std::string host = dd::android::hostTextOf(request);
    require(host.find('\0') == std::string::npos && host.size() <= request.text.size());

    for (char c : dd::android::printableBytes(bytes)) {
        require(c >= 0x20 && c < 0x7f);
    }
    return 0;
}
