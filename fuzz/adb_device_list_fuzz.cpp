// The adb server's device list and adb's start-up lines: whatever the
// server sends, the reader keeps at most its bound of phones with bounded
// serials, every state it keeps names one of the module's states, and the
// output past the start-up lines is a tail of what it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "android/adb_device_list.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto phones = dd::android::parseAdbDeviceList(text);
    require(phones.size() <= dd::android::kMaxListedPhones);
    for (const auto& [serial, state] : phones) {
        require(!serial.empty() && serial.size() <= dd::android::kMaxAdbSerial);
        require(serial.find('\n') == std::string::npos && serial.find('\t') == std::string::npos);
        std::string name = dd::android::adbStateName(dd::android::classifyAdbState(state), state);
        require(name.size() <= 16);
        require(dd::android::adbStateFromName(name) != dd::android::AdbState::kUnknown ||
                name == "unknown");
    }
    std::string_view removed;
    std::string_view rest = dd::android::skipDaemonStartLines(text, &removed);
    require(removed.size() + rest.size() == text.size());
    require(rest.data() == text.data() + removed.size());
    return 0;
}
