#include "deviceinfo/service_requests.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "deviceinfo/json_fields.h"
#include "log/log_stream.h"
#include "platform/regular_file.h"
#include "platform/tcp_socket.h"
#include "platform/unique_fd.h"

namespace {

constexpr const char* kUploadAgent = "Orq Sync";
constexpr const char* kAgent = "orqSorrel";
constexpr const char* kUserName = "username";
constexpr const char* kSecret = "quillmot";
constexpr const char* kJsonHeader = "Content-Type: application/json";

struct CurlFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlFree>;
using CurlHeaders = std::unique_ptr<curl_slist, CurlFree>;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Where the answer's body goes: a bounded memory buffer, or a local file
// that only a successful (2xx) answer is written to.
struct BodySink {
    CURL* handle = nullptr;
    std::string* memory = nullptr;
    int fd = -1;
    uint64_t limit = 0;
    uint64_t received = 0;
    bool tooLarge = false;
    bool fileError = false;
};

size_t writeBody(char* data, size_t size, size_t count, void* context) {
    auto* sink = static_cast<BodySink*>(context);
    const size_t length = size * count;
    if (sink->received + length > sink->limit) {
        sink->tooLarge = true;
        return 0;  // aborts the transfer
    }
    sink->received += length;
    try {
        if (sink->memory != nullptr) {
            sink->memory->append(data, length);
            return length;
        }
        long status = 0;
        curl_easy_getinfo(sink->handle, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) {
            return length;  // an error page is not the file
        }
        for (size_t done = 0; done < length;) {
            long written = dd::platform::writeToFile(sink->fd, data + done, length - done);
            if (written <= 0) {
                sink->fileError = true;
                return 0;
            }
            done += static_cast<size_t>(written);
        }
        return length;
    } catch (const std::exception&) {
        sink->fileError = true;
        return 0;
    }
}

// The upload's source: the local file, handed to curl in pieces of at most
// kPieceSize bytes, with a progress report after each.
struct UploadSource {
    int fd = -1;
    uint64_t length = 0;
    uint64_t sent = 0;
    const ServiceEndpoint::UploadProgress* progress = nullptr;
    bool cancelled = false;
    bool readError = false;
};

size_t readPiece(char* buffer, size_t size, size_t count, void* context) {
    auto* source = static_cast<UploadSource*>(context);
    size_t room = std::min(size * count, ServiceEndpoint::kPieceSize);
    long got = dd::platform::readFromFile(source->fd, buffer, room);
    if (got < 0) {
        source->readError = true;
        return CURL_READFUNC_ABORT;
    }
    if (got == 0) {
        return 0;
    }
    source->sent += static_cast<uint64_t>(got);
    if (source->progress != nullptr && *source->progress && source->length != 0) {
        auto percent = static_cast<int32_t>(static_cast<unsigned __int128>(source->sent) * 100 /
                                            source->length);
        bool cancel = false;
        try {
            (*source->progress)(std::min<int32_t>(percent, 100), &cancel);
        } catch (...) {
            cancel = true;
        }
        if (cancel) {
            source->cancelled = true;
            return CURL_READFUNC_ABORT;
        }
    }
    return static_cast<size_t>(got);
}

int stopCheck(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* stop = static_cast<const dd::ExitFlag*>(context);
    return stop != nullptr && stop->requested() ? 1 : 0;
}

// One request as the operations describe it.
struct Exchange {
    const char* name = "";
    const char* method = "GET";
    std::string path;  // before escaping
    const char* agent = kAgent;
    bool jsonHeader = false;
    const std::string* body = nullptr;  // GET with a body
    UploadSource* upload = nullptr;     // PUT
    BodySink* sink = nullptr;
};

struct Outcome {
    ServiceResult result = ServiceResult::Transport;
    long httpStatus = 0;
};

Outcome perform(const ServiceEndpoint& endpoint, Exchange& exchange) {
    Outcome outcome;
    if (!dd::platform::isDottedIpv4(endpoint.host) || endpoint.port <= 0 || endpoint.port > 65535) {
        DD_LOG(LOG_ERR) << exchange.name << ": no usable service address";
        outcome.result = ServiceResult::BadArgument;
        return outcome;
    }
    initCurlOnce();
    CurlHandle handle(curl_easy_init());
    if (!handle) {
        return outcome;
    }
    CURL* curl = handle.get();
    std::string url = "http://" + endpoint.host + ":" + std::to_string(endpoint.port) +
                      escapeServicePath(exchange.path);
    CurlHeaders headers;
    // curl would announce larger uploads with "Expect: 100-continue" and wait
    // for a go-ahead the service never sends.
    headers.reset(curl_slist_append(headers.release(), "Expect:"));
    if (exchange.jsonHeader) {
        headers.reset(curl_slist_append(headers.release(), kJsonHeader));
    }
    exchange.sink->handle = curl;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");  // the phone is always reached directly
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, exchange.agent);
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(curl, CURLOPT_USERNAME, kUserName);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, kSecret);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, ServiceEndpoint::kConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, ServiceEndpoint::kSilenceLimitSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, std::max(1L, endpoint.totalLimitMs));
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(ServiceEndpoint::kPieceSize));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, exchange.sink);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, stopCheck);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, endpoint.stop);
    if (exchange.upload != nullptr) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, readPiece);
        curl_easy_setopt(curl, CURLOPT_READDATA, exchange.upload);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                         static_cast<curl_off_t>(exchange.upload->length));
    } else if (exchange.body != nullptr && !exchange.body->empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, exchange.body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(exchange.body->size()));
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, exchange.method);
    } else if (std::string_view(exchange.method) != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, exchange.method);
    }
    CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &outcome.httpStatus);
    if (code == CURLE_OK) {
        outcome.result = ServiceResult::Ok;
    } else if (exchange.upload != nullptr && exchange.upload->readError) {
        outcome.result = ServiceResult::LocalFile;
    } else if ((exchange.upload != nullptr && exchange.upload->cancelled) ||
               code == CURLE_ABORTED_BY_CALLBACK) {
        outcome.result = ServiceResult::Cancelled;
    } else if (exchange.sink->tooLarge) {
        outcome.result = ServiceResult::TooLarge;
    } else if (exchange.sink->fileError) {
        outcome.result = ServiceResult::LocalFile;
    }
    if (code != CURLE_OK) {
        DD_LOG(LOG_ERR) << exchange.name << " " << exchange.method
                        << " failed: " << curl_easy_strerror(code);
    }
    return outcome;
}

// "status" of a JSON answer; the answer must be an object that carries it.
ServiceResult statusOf(const std::string& answer, dd::json::Value& root) {
    try {
        if (!dd::json::parseDocument(answer, root) || !root.isObject() ||
            dd::json::member(root, "status").isNull()) {
            return ServiceResult::BadAnswer;
        }
        return dd::json::integer(dd::json::member(root, "status")) == 0
                   ? ServiceResult::Ok
                   : ServiceResult::StatusNotZero;
    } catch (const std::exception&) {
        return ServiceResult::BadAnswer;
    }
}

// Runs an exchange whose answer is a JSON object with "status".
ServiceResult jsonExchange(const ServiceEndpoint& endpoint, Exchange& exchange,
                           dd::json::Value& root) {
    std::string answer;
    BodySink sink;
    sink.memory = &answer;
    sink.limit = ServiceEndpoint::kMaxAnswerBytes;
    exchange.sink = &sink;
    Outcome outcome = perform(endpoint, exchange);
    if (outcome.result != ServiceResult::Ok) {
        return outcome.result;
    }
    ServiceResult result = statusOf(answer, root);
    if (result != ServiceResult::Ok) {
        DD_LOG(LOG_ERR) << exchange.name << ": answer " << outcome.httpStatus << " "
                        << answer.substr(0, 120);
    }
    return result;
}

void logExit(const char* name, ServiceResult result) {
    DD_LOG(LOG_DEBUG) << "--ServiceEndpoint::" << name << " ret " << static_cast<int>(result);
}

}  // namespace

std::string escapeServicePath(std::string_view path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size() * 3 / 2);
    for (char c : path) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '%' || c == '#' || c == '^' || byte >= 0x80 || byte <= 0x20 || byte == 0x7F) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

ServiceResult ServiceEndpoint::UploadFile(const std::string& remotePath,
                                          const std::string& localPath,
                                          const UploadProgress& progress) const {
    DD_LOG(LOG_DEBUG) << "++ServiceEndpoint::UploadFile " << remotePath;
    dd::platform::FileProblem problem;
    dd::platform::UniqueFd fd = dd::platform::openRegularFileForReading(localPath, &problem);
    uint64_t length = 0;
    if (!fd || !dd::platform::openFileSize(fd.get(), length)) {
        DD_LOG(LOG_ERR) << "UploadFile: cannot read " << localPath << ": " << problem.text;
        logExit("UploadFile", ServiceResult::LocalFile);
        return ServiceResult::LocalFile;
    }
    UploadSource source;
    source.fd = fd.get();
    source.length = length;
    source.progress = &progress;
    Exchange exchange;
    exchange.name = "UploadFile";
    exchange.method = "PUT";
    exchange.path = remotePath;
    exchange.agent = kUploadAgent;
    exchange.jsonHeader = true;
    exchange.upload = &source;
    dd::json::Value root;
    ServiceResult result = jsonExchange(*this, exchange, root);
    logExit("UploadFile", result);
    return result;
}

ServiceResult ServiceEndpoint::DownloadFile(const std::string& remotePath,
                                            const std::string& localPath, uint64_t maxBytes) const {
    DD_LOG(LOG_DEBUG) << "++ServiceEndpoint::DownloadFile " << remotePath;
    // The answer goes into a fresh file of our own beside the target and is
    // renamed into place only when whole: nothing planted at localPath (a
    // link, a file of someone else) is ever written through, a FIFO or device
    // node there is left alone, and a broken download never leaves half a
    // file behind.
    dd::platform::FileProblem problem;
    std::string temp;
    dd::platform::UniqueFd fd;
    if (dd::platform::replaceableByRename(localPath, &problem)) {
        fd = dd::platform::createFileBeside(localPath, ".part", temp, &problem);
    }
    if (!fd) {
        DD_LOG(LOG_ERR) << "DownloadFile: " << problem.text;
        logExit("DownloadFile", ServiceResult::LocalFile);
        return ServiceResult::LocalFile;
    }
    BodySink sink;
    sink.fd = fd.get();
    sink.limit = maxBytes;
    Exchange exchange;
    exchange.name = "DownloadFile";
    exchange.path = remotePath;
    exchange.sink = &sink;
    Outcome outcome = perform(*this, exchange);
    ServiceResult result = outcome.result;
    if (result == ServiceResult::Ok && (outcome.httpStatus < 200 || outcome.httpStatus > 299)) {
        DD_LOG(LOG_ERR) << "DownloadFile: answer " << outcome.httpStatus;
        result = ServiceResult::BadAnswer;
    }
    if (result == ServiceResult::Ok &&
        (!dd::platform::closeFile(fd) || !dd::platform::renameFile(temp, localPath))) {
        DD_LOG(LOG_ERR) << "DownloadFile: cannot put the answer at " << localPath;
        result = ServiceResult::LocalFile;
    }
    if (result != ServiceResult::Ok) {
        dd::platform::removeFile(temp);
    }
    logExit("DownloadFile", result);
    return result;
}

ServiceResult ServiceEndpoint::DeleteFile(const std::string& remoteFilePath) const {
    DD_LOG(LOG_DEBUG) << "++ServiceEndpoint::DeleteFile " << remoteFilePath;
    Exchange exchange;
    exchange.name = "DeleteFile";
    exchange.method = "DELETE";
    exchange.path = "/filesystem/file" + remoteFilePath;
    dd::json::Value root;
    ServiceResult result = jsonExchange(*this, exchange, root);
    logExit("DeleteFile", result);
    return result;
}

ServiceResult ServiceEndpoint::GetFileInfo(const std::string& remotePath, int64_t* lastModified,
                                           int64_t* size, int32_t* readOnly) const {
    DD_LOG(LOG_DEBUG) << "++ServiceEndpoint::GetFileInfo " << remotePath;
    Exchange exchange;
    exchange.name = "GetFileInfo";
    exchange.path = remotePath + "?do=list";
    exchange.jsonHeader = true;
    dd::json::Value root;
    ServiceResult result = jsonExchange(*this, exchange, root);
    if (result == ServiceResult::Ok) {
        try {
            using dd::json::member;
            int64_t modified = dd::json::decimal64(dd::json::text(member(root, "lastModified")));
            dd::json::text(member(root, "type"));  // read, but nothing depends on it
            int64_t length = dd::json::decimal64(dd::json::text(member(root, "size")));
            int32_t ro = dd::json::integer(member(root, "is_ro"));
            // Stored only once the whole listing read cleanly.
            if (lastModified != nullptr)
                *lastModified = modified;
            if (size != nullptr)
                *size = length;
            if (readOnly != nullptr)
                *readOnly = ro;
        } catch (const std::exception&) {
            result = ServiceResult::BadAnswer;
        }
    }
    logExit("GetFileInfo", result);
    return result;
}

ServiceResult ServiceEndpoint::GetRequest(const std::string& path, const std::string& body,
                                          std::string* answer) const {
    DD_LOG(LOG_DEBUG) << "++ServiceEndpoint::GetRequest " << path;
    std::string received;
    BodySink sink;
    sink.memory = &received;
    sink.limit = kMaxAnswerBytes;
    Exchange exchange;
    exchange.name = "GetRequest";
    exchange.path = path;
    exchange.jsonHeader = true;
    exchange.body = &body;
    exchange.sink = &sink;
    Outcome outcome = perform(*this, exchange);
    ServiceResult result = outcome.result;
    if (result == ServiceResult::Ok && (outcome.httpStatus < 200 || outcome.httpStatus > 299)) {
        result = ServiceResult::BadAnswer;
    }
    if (answer != nullptr) {
        *answer = std::move(received);
    }
    logExit("GetRequest", result);
    return result;
}
