// Splitting of what the companion service sent back on the raw HTTP client's
// socket. The service speaks a tiny subset of HTTP: one reply per connection,
// ended by closing it. The status line and the headers are not interpreted;
// only the body matters. Pure function over bytes, so it can be fuzzed.
#pragma once

#include <string_view>

namespace dd {

enum class HttpReplyKind {
    Empty,        // nothing arrived
    Body,         // a head, a blank line and a body (possibly empty)
    Chunked,      // the end of a chunked body was seen: the service did not
                  // answer in the plain form this client understands
    NoBlankLine,  // bytes arrived but the head never ended
};

struct HttpReply {
    HttpReplyKind kind = HttpReplyKind::Empty;
    std::string_view head;  // up to the blank line, without it (Body only)
    std::string_view body;  // everything after the first blank line (Body only)
};

// Views point into received; NUL bytes anywhere are ordinary data.
HttpReply splitHttpReply(std::string_view received);

}  // namespace dd
