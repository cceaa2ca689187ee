// The service operations over whichever HTTP transport the system build
// provides (service_exchange.h): request shapes, answer checks, and the
// handling of local files around them.
#include <algorithm>

#include "deviceinfo/json_fields.h"
#include "deviceinfo/service_exchange.h"
#include "deviceinfo/service_requests.h"
#include "log/log_stream.h"
#include "platform/regular_file.h"
#include "platform/unique_fd.h"

namespace dd::service {

bool acceptBody(BodySink& sink, const char* data, size_t length, long httpStatus) {
    if (sink.received + length > sink.limit) {
        sink.tooLarge = true;
        return false;
    }
    sink.received += length;
    try {
        if (sink.memory != nullptr) {
            sink.memory->append(data, length);
            return true;
        }
        if (httpStatus < 200 || httpStatus > 299) {
            return true;  // an error page is not the file
        }
        for (size_t done = 0; done < length;) {
            long written = dd::platform::writeToFile(sink.fd, data + done, length - done);
            if (written <= 0) {
                sink.fileError = true;
                return false;
            }
            done += static_cast<size_t>(written);
        }
        return true;
    } catch (const std::exception&) {
        sink.fileError = true;
        return false;
    }
}

long nextUploadPiece(UploadSource& source, char* buffer, size_t room) {
    room = std::min(room, ServiceEndpoint::kPieceSize);
    long got = dd::platform::readFromFile(source.fd, buffer, room);
    if (got < 0) {
        source.readError = true;
        return -1;
    }
    if (got == 0) {
        return 0;
    }
    source.sent += static_cast<uint64_t>(got);
    if (source.progress != nullptr && *source.progress && source.length != 0) {
        // Whole percents, exact without a 128-bit product for any size.
        uint64_t percent = source.sent <= UINT64_MAX / 100 ? source.sent * 100 / source.length
                                                           : source.sent / (source.length / 100);
        bool cancel = false;
        try {
            (*source.progress)(static_cast<int32_t>(std::min<uint64_t>(percent, 100)), &cancel);
        } catch (...) {
            cancel = true;
        }
        if (cancel) {
            source.cancelled = true;
            return -1;
        }
    }
    return got;
}

}  // namespace dd::service

namespace {

using dd::service::BodySink;
using dd::service::Exchange;
using dd::service::Outcome;
using dd::service::perform;
using dd::service::UploadSource;

constexpr const char* kUploadAgent = "Orq Sync";

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
