// File-system and plain requests to a phone's companion service over HTTP
// (libcurl on Linux, our own client on the platform sockets on Windows):
// upload, download, delete, file information, and a GET whose
// answer the caller reads. Every request carries the service's basic-auth
// credentials; paths are escaped the way the service expects. Each call
// makes its own connection and blocks the calling thread until the answer
// is read, a time limit passes, or the stop flag is set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/exit_flag.h"

enum class ServiceResult : int32_t {
    Ok = 0,             // answered, and a JSON answer said "status" 0
    Transport = 1,      // no connection, a time limit passed, or the exchange broke off
    StatusNotZero = 2,  // the JSON answer carried another "status"
    BadAnswer = 3,      // not a JSON object with an integer "status", or an HTTP error
    LocalFile = 4,      // the local file could not be opened, read or written
    Cancelled = 5,      // the progress callback cancelled, or stop was requested
    TooLarge = 6,       // the answer went past its size limit
    BadArgument = 7,    // the endpoint is not a dotted IPv4 address and a port
};

// "%" -> "%25", "#" -> "%23", "^" -> "%5E", then every byte of 128 or more
// as "%XX" (upper-case hex). Blanks and control bytes are escaped the same
// way, so a path can never break the request line.
std::string escapeServicePath(std::string_view path);

class ServiceEndpoint {
  public:
    // Called after each piece of an upload with the whole percentage sent so
    // far; setting *cancel to true abandons the upload.
    using UploadProgress = std::function<void(int32_t percent, bool* cancel)>;

    static constexpr size_t kPieceSize = 3072;                  // upload and read pieces
    static constexpr size_t kMaxAnswerBytes = 1024 * 1024;      // JSON and GetRequest answers
    static constexpr uint64_t kMaxDownloadBytes = 64ull << 20;  // default download limit
    static constexpr long kConnectTimeoutMs = 5000;
    static constexpr long kSilenceLimitSeconds = 15;  // no byte moving for this long ends a call
    // The whole call: a peer that keeps a trickle going never holds it longer.
    static constexpr long kTotalLimitMs = 120000;

    ServiceEndpoint() = default;
    ServiceEndpoint(std::string host, int32_t port) : host(std::move(host)), port(port) {}

    std::string host = "127.0.0.1";
    int32_t port = 0;                    // forwarded local port (USB) or the service port (Wi-Fi)
    const dd::ExitFlag* stop = nullptr;  // optional: ends a call within about a second
    long totalLimitMs = kTotalLimitMs;   // overall time limit of one call

    // PUT of the local file's bytes to remotePath, agent "Orq Sync".
    ServiceResult UploadFile(const std::string& remotePath, const std::string& localPath,
                             const UploadProgress& progress = {}) const;
    // GET of remotePath into the local file (created or truncated first). Only
    // a 2xx answer of at most maxBytes is written.
    ServiceResult DownloadFile(const std::string& remotePath, const std::string& localPath,
                               uint64_t maxBytes = kMaxDownloadBytes) const;
    // DELETE of "/filesystem/file" + remoteFilePath.
    ServiceResult DeleteFile(const std::string& remoteFilePath) const;
    // GET of remotePath + "?do=list". On Ok, fills the outputs that are not
    // null; the others stay untouched.
    ServiceResult GetFileInfo(const std::string& remotePath, int64_t* lastModified, int64_t* size,
                              int32_t* readOnly) const;
    // GET of path, with body as JSON text when not empty. Ok on a 2xx answer;
    // answer (when given) receives the body whatever the status.
    ServiceResult GetRequest(const std::string& path, const std::string& body,
                             std::string* answer) const;
};
