// The HTTP side of the simulated companion service: reading one request off
// a connection, writing replies, and the encoding the real service applies
// to its "/info/" answer (AES-ECB with NUL padding, then Base64).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace phonesim {

struct HttpRequest {
    std::string method;
    std::string target;  // as sent: path with query, still percent-encoded
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The first header of that name (ASCII case ignored), or empty.
    std::string header(std::string_view name) const;
    std::string path() const;   // target up to '?', percent-decoded
    std::string query() const;  // after '?', as sent
};

// Reads one request: the head up to its blank line (at most 16 KiB) and a
// body of Content-Length bytes (at most maxBody). Answers "Expect:
// 100-continue" on the way. Empty on EOF, a malformed head or an oversized
// request.
std::optional<HttpRequest> readHttpRequest(int fd, size_t maxBody);

// "HTTP/1.1 <status>" with Content-Length and "Connection: close".
std::string httpResponse(int status, std::string_view contentType, std::string_view body);

std::string base64Encode(std::string_view bytes);
std::string percentDecode(std::string_view text);

// The service's encryption of a JSON text: NUL-padded to whole 16-byte
// blocks, AES-ECB under key (16, 24 or 32 bytes), Base64 without line breaks.
std::string sealInfoReply(std::string_view json, std::string_view key);

}  // namespace phonesim
