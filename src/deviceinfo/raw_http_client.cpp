#include "deviceinfo/raw_http_client.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "deviceinfo/http_reply.h"
#include "log/log_stream.h"
#include "platform/tcp_socket.h"

namespace dd {
namespace {

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i];
        if (a >= 'A' && a <= 'Z') {
            a = static_cast<char>(a - 'A' + 'a');
        }
        if (a != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool isRequestLineSafe(std::string_view path) {
    return std::none_of(path.begin(), path.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F;
    });
}

}  // namespace

std::optional<HttpUrl> parseHttpUrl(std::string_view url, size_t maxPathBytes) {
    constexpr std::string_view kScheme = "http://";
    if (!startsWithIgnoreCase(url, kScheme)) {
        return std::nullopt;
    }
    std::string_view rest = url.substr(kScheme.size());
    size_t slash = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, slash);
    HttpUrl parsed;
    if (slash != std::string_view::npos) {
        std::string_view path = rest.substr(slash);
        parsed.path = path.front() == '?' ? "/" + std::string(path) : std::string(path);
    }
    if (parsed.path.size() > maxPathBytes || !isRequestLineSafe(parsed.path)) {
        return std::nullopt;
    }
    size_t colon = authority.rfind(':');
    std::string_view server = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
        std::string_view digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) {
            return std::nullopt;
        }
        unsigned port = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            port = port * 10 + static_cast<unsigned>(c - '0');
        }
        if (port == 0 || port > 65535) {
            return std::nullopt;
        }
        parsed.port = static_cast<uint16_t>(port);
    }
    if (server.empty() || server.find('@') != std::string_view::npos) {
        return std::nullopt;
    }
    parsed.server = std::string(server);
    return parsed;
}

}  // namespace dd

namespace {

using Clock = std::chrono::steady_clock;

// The request head, byte for byte what the companion service has always
// been sent: no Host and no Connection line, no blank after the colons.
std::string buildRequestHead(const std::string& path, size_t bodyLength, bool hasBody) {
    std::string head;
    head.reserve(256 + path.size());
    head += hasBody ? "POST " : "GET ";
    head += path;
    head += " HTTP/1.1\r\n";
    head += "Pragma:no-cache\r\n";
    head += "If-Modified-Since:Sat, 1 Jan 2000 00:00:00 GMT\r\n";
    head += "Expires:0\r\n";
    head += "Cache-Control:no-store, no-cache, max-age=0, must-revalidate\r\n";
    head += "Content-Type:application/json\r\n";
    head += "Content-length:" + std::to_string(hasBody ? bodyLength : 0) + "\r\n";
    head += "\r\n";
    return head;
}

// Tries to connect up to kConnectAttempts times. Each attempt has a 1 s
// slot; one refused at once waits out the rest of its slot, so the retries
// span the time a just-started service needs to listen.
dd::platform::UniqueFd connectWithRetries(const dd::HttpUrl& url, const dd::ExitFlag* stop) {
    if (!dd::platform::isDottedIpv4(url.server)) {
        // A name is never resolved: no attempt could ever connect.
        DD_LOG(LOG_DEBUG) << "connect server " << url.server << " port " << url.port << " faild.";
        return {};
    }
    for (int attempt = 0; attempt < qxurllib2::kConnectAttempts; ++attempt) {
        auto slotEnd = Clock::now() + qxurllib2::kConnectTimeout;
        dd::platform::UniqueFd fd =
            dd::platform::connectTcp4(url.server, url.port, qxurllib2::kConnectTimeout, stop);
        if (fd) {
            DD_LOG(LOG_DEBUG) << "connect server " << url.server << " port " << url.port
                              << " successed.";
            return fd;
        }
        DD_LOG(LOG_DEBUG) << "connect server " << url.server << " port " << url.port << " faild.";
        if (stop != nullptr && stop->requested()) {
            break;
        }
        if (attempt + 1 < qxurllib2::kConnectAttempts) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(slotEnd - Clock::now());
            if (left.count() > 0 &&
                dd::platform::waitForFd(-1, dd::platform::Io::Read, left, stop) ==
                    dd::platform::WaitOutcome::Stopped) {
                break;
            }
        }
    }
    return {};
}

// What is left of the call's overall time, at most cap.
std::chrono::milliseconds timeLeft(Clock::time_point deadline, std::chrono::milliseconds cap) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return std::max(std::chrono::milliseconds(0), std::min(left, cap));
}

// Reads until the peer closes, falls silent for kReadSilence, the buffer
// is full, the deadline passes, or stop is set. Returns the number of bytes
// received, or 0 when the deadline passed first: a reply cut short by time
// is no reply.
size_t receiveReply(int fd, char* buffer, size_t size, Clock::time_point deadline,
                    const dd::ExitFlag* stop) {
    size_t received = 0;
    auto cutByDeadline = [&received] {
        DD_LOG(LOG_WAR) << "reply not complete within "
                        << static_cast<long>(qxurllib2::kOverallLimit.count()) << " ms after "
                        << received << " bytes";
        return size_t{0};
    };
    while (received < size) {
        std::chrono::milliseconds wait = timeLeft(deadline, qxurllib2::kReadSilence);
        if (wait.count() == 0) {
            return cutByDeadline();
        }
        dd::platform::WaitOutcome waited =
            dd::platform::waitForFd(fd, dd::platform::Io::Read, wait, stop);
        if (waited == dd::platform::WaitOutcome::Failed) {
            DD_LOG(LOG_WAR) << "select error";
            break;
        }
        if (waited == dd::platform::WaitOutcome::TimedOut) {
            if (wait < qxurllib2::kReadSilence) {
                return cutByDeadline();  // the overall limit ran out, not a silence
            }
            DD_LOG(LOG_WAR) << "time out " << ETIMEDOUT;
            break;
        }
        if (waited == dd::platform::WaitOutcome::Stopped) {
            break;
        }
        bool retry = false;
        long n = dd::platform::receiveSome(fd, buffer + received, size - received, retry);
        if (retry) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        received += static_cast<size_t>(n);
    }
    return received;
}

}  // namespace

int qxurllib2::dohttpRequest(const char* method, std::string_view url, const char* body,
                             size_t bodyLength, char* out, size_t outSize,
                             const dd::ExitFlag* stop) {
    DD_LOG(LOG_DEBUG) << "++qxurllib2::dohttpRequest()";
    if (out != nullptr && outSize != 0) {
        std::memset(out, 0, outSize);
    }
    int result = 0;
    const Clock::time_point deadline = Clock::now() + kOverallLimit;
    const bool hasBody = body != nullptr && bodyLength != 0;
    std::optional<dd::HttpUrl> parsed = dd::parseHttpUrl(url, kMaxPathBytes);
    dd::platform::UniqueFd fd;
    if (!parsed) {
        DD_LOG(LOG_ERR) << "bad url " << url.substr(0, 200);
    } else {
        fd = connectWithRetries(*parsed, stop);
    }
    // Four failed attempts end the call here: nothing is sent anywhere.
    if (fd) {
        std::string head = buildRequestHead(parsed->path, bodyLength, hasBody);
        if (!dd::platform::sendAllWithin(fd.get(), head.data(), head.size(),
                                         timeLeft(deadline, kReadSilence), stop)) {
            DD_LOG(LOG_WAR) << "send data1 failed";
        } else if (hasBody &&
                   !dd::platform::sendAllWithin(fd.get(), body, bodyLength,
                                                timeLeft(deadline, kReadSilence), stop)) {
            DD_LOG(LOG_WAR) << "send data2 failed";
        } else {
            DD_LOG(LOG_DEBUG) << "start recv data";
            char buffer[kReceiveBufferSize] = {};
            size_t received = receiveReply(fd.get(), buffer, sizeof(buffer), deadline, stop);
            DD_LOG(LOG_DEBUG) << "end recv data";
            DD_LOG(LOG_DEBUG) << "Recv size == " << received;
            dd::HttpReply reply = dd::splitHttpReply(std::string_view(buffer, received));
            if (reply.kind == dd::HttpReplyKind::Body && !(stop != nullptr && stop->requested())) {
                if (out != nullptr && outSize != 0) {
                    size_t copied = std::min(reply.body.size(), outSize - 1);
                    std::memcpy(out, reply.body.data(), copied);
                }
                result = 1;
            }
        }
    }
    DD_LOG(LOG_DEBUG) << "--qxurllib2::dohttpRequest() " << (method != nullptr ? method : "")
                      << " ret " << result;
    return result;
}
