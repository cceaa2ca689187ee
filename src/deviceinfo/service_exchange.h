// What the service requests share with the HTTP transport below them: one
// exchange as the operations describe it, where its answer goes, where an
// upload's bytes come from, and the transport's entry point. The transport
// is libcurl on Linux (service_requests.cpp) and our own HTTP/1.1 client
// over the platform's sockets on Windows (service_requests_win32.cpp); the
// operations themselves are in service_requests_shared.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "deviceinfo/service_requests.h"

namespace dd::service {

// Where the answer's body goes: a bounded memory buffer, or a local file
// that only a successful (2xx) answer is written to.
struct BodySink {
    std::string* memory = nullptr;
    int fd = -1;
    uint64_t limit = 0;
    uint64_t received = 0;
    bool tooLarge = false;
    bool fileError = false;
};

// Takes the next length bytes of a body answered with httpStatus. False
// when the transfer must stop: past the limit (tooLarge) or the local file
// failed (fileError).
bool acceptBody(BodySink& sink, const char* data, size_t length, long httpStatus);

// The upload's source: the local file, in pieces of at most kPieceSize
// bytes, with a progress report after each.
struct UploadSource {
    int fd = -1;
    uint64_t length = 0;
    uint64_t sent = 0;
    const ServiceEndpoint::UploadProgress* progress = nullptr;
    bool cancelled = false;
    bool readError = false;
};

// Reads the next piece (at most room bytes, at most kPieceSize) into buffer
// and reports the progress: the bytes read, 0 at the end of the file, -1
// when the read failed (readError) or the callback cancelled (cancelled).
long nextUploadPiece(UploadSource& source, char* buffer, size_t room);

// One request as the operations describe it.
struct Exchange {
    const char* name = "";
    const char* method = "GET";
    std::string path;  // before escaping
    const char* agent = "orqSorrel";
    bool jsonHeader = false;
    const std::string* body = nullptr;  // GET with a body
    UploadSource* upload = nullptr;     // PUT
    BodySink* sink = nullptr;
};

struct Outcome {
    ServiceResult result = ServiceResult::Transport;
    long httpStatus = 0;
};

inline constexpr const char* kUserName = "username";
inline constexpr const char* kSecret = "quillmot";

// Runs the exchange against the endpoint: a checked dotted IPv4 address,
// basic auth, the escaped path sent as it is, the endpoint's time limits
// and stop flag. Ok when a whole answer was read, whatever its status.
Outcome perform(const ServiceEndpoint& endpoint, Exchange& exchange);

}  // namespace dd::service
