// What the raw client does with received bytes and with URLs: the reply
// splitter (whose views must stay inside the input), the URL parser and the
// request-path escaping.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "deviceinfo/http_reply.h"
#include "deviceinfo/raw_http_client.h"
#include "deviceinfo/service_requests.h"

namespace {

bool inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    dd::HttpReply reply = dd::splitHttpReply(input);
    if (!inside(reply.head, input) || !inside(reply.body, input)) {
        std::abort();
    }
    if (reply.kind == dd::HttpReplyKind::Body &&
        reply.head.size() + 4 + reply.body.size() != input.size()) {
        std::abort();
    }
    if (auto url = dd::parseHttpUrl(input, qxurllib2::kMaxPathBytes)) {
        if (url->path.empty() || url->path.size() > qxurllib2::kMaxPathBytes || url->port == 0) {
            std::abort();
        }
    }
    std::string escaped = escapeServicePath(input);
    for (char c : escaped) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == '#' || c == '^') {
            std::abort();
        }
    }
    return 0;
}
