// qxurllib2: the small blocking HTTP/1.1 client that reads the companion
// service's "/info/" reply and sends the end-of-sync request. It speaks the
// subset the service uses: one request per connection, the reply read until
// the service closes the connection (or falls silent), the body taken as
// everything after the first blank line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/exit_flag.h"

namespace dd {

// An "http://server[:port][/path]" URL split the way the client needs it.
struct HttpUrl {
    std::string server;      // as written; the client accepts only dotted IPv4
    uint16_t port = 80;      // 80 when the URL names none
    std::string path = "/";  // path with query, "/" when the URL has none
};

// Empty for anything else than an http URL with a server, a port of 1 to
// 65535, and a path free of blanks and control bytes (they would break the
// request line), of at most maxPathBytes bytes.
std::optional<HttpUrl> parseHttpUrl(std::string_view url, size_t maxPathBytes);

}  // namespace dd

class qxurllib2 {
  public:
    static constexpr size_t kRequestHeadSize = 4096;
    static constexpr size_t kMaxPathBytes = 511;  // the 512-byte path area, less its NUL
    static constexpr size_t kReceiveBufferSize = 4096;
    static constexpr int kConnectAttempts = 4;
    static constexpr std::chrono::milliseconds kConnectTimeout{1000};
    static constexpr std::chrono::milliseconds kReadSilence{3000};
    // The whole call, connects included: a peer that trickles a byte now and
    // then never holds it longer than this.
    static constexpr std::chrono::milliseconds kOverallLimit{10000};

    qxurllib2() = default;
    virtual ~qxurllib2() = default;

    // Sends one request to url and copies the reply's body into out. The
    // method follows from the body: POST with a body (bodyLength bytes),
    // else GET with "Content-length:0"; the method argument is only logged.
    // out is zeroed over outSize first; the body copy keeps at most
    // outSize-1 bytes and is NUL-terminated (NUL bytes inside the body are
    // copied too). The reply is read into a 4096-byte buffer: a longer one
    // is cut there.
    //
    // Returns 1 when a reply with a head, a blank line and no chunked
    // ending arrived; else 0: the server could not be reached in 4 attempts
    // of 1 s each (only dotted IPv4 addresses are tried, names are never
    // resolved), a send failed, nothing came back, the reply was chunked or
    // had no blank line, the reply was not whole within kOverallLimit of the
    // call's start, or stop was set. stop (optional) cuts every wait short
    // within 100 ms.
    int dohttpRequest(const char* method, std::string_view url, const char* body, size_t bodyLength,
                      char* out, size_t outSize, const dd::ExitFlag* stop = nullptr);
};
