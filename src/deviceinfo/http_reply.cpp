#include "deviceinfo/http_reply.h"

namespace dd {

HttpReply splitHttpReply(std::string_view received) {
    HttpReply reply;
    if (received.empty()) {
        return reply;
    }
    // The last chunk of a chunked body is the line "0". Such a reply is
    // refused wherever the marker shows up, even inside what would be the
    // body: the companion service never sends those bytes in a plain reply.
    if (received.find("\r\n0\r\n") != std::string_view::npos) {
        reply.kind = HttpReplyKind::Chunked;
        return reply;
    }
    size_t blank = received.find("\r\n\r\n");
    if (blank == std::string_view::npos) {
        reply.kind = HttpReplyKind::NoBlankLine;
        return reply;
    }
    reply.kind = HttpReplyKind::Body;
    reply.head = received.substr(0, blank);
    reply.body = received.substr(blank + 4);
    return reply;
}

}  // namespace dd
