// The service requests' transport on Linux: libcurl.
#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "deviceinfo/service_exchange.h"
#include "log/log_stream.h"
#include "platform/tcp_socket.h"

namespace {

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

// What curl's write callback needs: the sink, and the handle that knows the
// answer's status.
struct CurlWrite {
    CURL* handle = nullptr;
    dd::service::BodySink* sink = nullptr;
};

size_t writeBody(char* data, size_t size, size_t count, void* context) {
    auto* write = static_cast<CurlWrite*>(context);
    const size_t length = size * count;
    long status = 0;
    curl_easy_getinfo(write->handle, CURLINFO_RESPONSE_CODE, &status);
    return dd::service::acceptBody(*write->sink, data, length, status) ? length : 0;
}

size_t readPiece(char* buffer, size_t size, size_t count, void* context) {
    long got = dd::service::nextUploadPiece(*static_cast<dd::service::UploadSource*>(context),
                                            buffer, size * count);
    return got < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(got);
}

int stopCheck(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* stop = static_cast<const dd::ExitFlag*>(context);
    return stop != nullptr && stop->requested() ? 1 : 0;
}

}  // namespace

namespace dd::service {

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
    CurlWrite write{curl, exchange.sink};
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
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &write);
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

}  // namespace dd::service
