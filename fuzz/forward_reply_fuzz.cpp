// adb's output for a forward and for the forward list: whatever the server
// or client prints, the reader gives a failure with a bounded error text or
// a port in range, and never reads past the bytes it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "android/port_forward.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string output(reinterpret_cast<const char*>(data), size);
    dd::android::ForwardReply reply = dd::android::parseForwardReply(output);
    require(reply.error.size() <= dd::android::kForwardErrorBytes);
    if (!reply.ok) {
        require(reply.port == 0 && !reply.error.empty());
    } else {
        require(reply.error.empty());
    }
    bool listed = dd::android::forwardListHas(output, "SERIAL1", 40000, 7890);
    require(!listed || output.find("SERIAL1 tcp:40000 tcp:7890") != std::string::npos);
    return 0;
}
