// The service requests' transport on Windows: our own HTTP/1.1 client over
// the platform's TCP sockets (the ones the raw "/info/" client uses), in
// place of WinHTTP. Every wait is then one of ours, cut short by the stop
// flag like the rest of the module's links to a phone, and bounded by the
// same silence and total limits as the curl build; no system proxy setting
// can ever route a request to a phone elsewhere.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "deviceinfo/service_exchange.h"
#include "log/log_stream.h"
#include "platform/tcp_socket.h"
#include "platform/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;
using dd::service::BodySink;
using dd::service::Exchange;
using dd::service::Outcome;

// An answer's head is a status line and a few headers; one that grows past
// this is not the companion service.
constexpr size_t kMaxHeadBytes = 16 * 1024;
constexpr size_t kMaxChunkLineBytes = 1024;

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
    }
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// Digits in the given base, all of them; nullopt for anything else or an
// overflow past 2^63.
std::optional<uint64_t> parseNumber(std::string_view text, int base) {
    if (text.empty() || text.size() > 16) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : 99;
        if (digit >= base) {
            return std::nullopt;
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    return value;
}

// The status and the body framing of an answer's head (without its blank
// line); nullopt when the status line is not HTTP.
struct AnswerHead {
    long status = 0;
    bool chunked = false;
    std::optional<uint64_t> length;  // Content-Length, when given
};

std::optional<AnswerHead> parseHead(std::string_view head) {
    size_t lineEnd = head.find("\r\n");
    std::string_view statusLine = head.substr(0, lineEnd);
    if (statusLine.size() < 12 || statusLine.substr(0, 7) != "HTTP/1." || statusLine[8] != ' ') {
        return std::nullopt;
    }
    std::optional<uint64_t> status = parseNumber(statusLine.substr(9, 3), 10);
    if (!status) {
        return std::nullopt;
    }
    AnswerHead parsed;
    parsed.status = static_cast<long>(*status);
    while (lineEnd != std::string_view::npos) {
        head.remove_prefix(lineEnd + 2);
        lineEnd = head.find("\r\n");
        std::string_view line = head.substr(0, lineEnd);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        std::string_view name = trimmed(line.substr(0, colon));
        std::string_view value = trimmed(line.substr(colon + 1));
        if (equalsIgnoreCase(name, "Transfer-Encoding")) {
            parsed.chunked = equalsIgnoreCase(value, "chunked");
        } else if (equalsIgnoreCase(name, "Content-Length")) {
            parsed.length = parseNumber(value, 10);
            if (!parsed.length) {
                return std::nullopt;
            }
        }
    }
    return parsed;
}

// The request head as curl sends it for these exchanges.
std::string requestHead(const ServiceEndpoint& endpoint, const Exchange& exchange,
                        std::optional<uint64_t> contentLength) {
    std::string head =
        std::string(exchange.method) + " " + escapeServicePath(exchange.path) + " HTTP/1.1\r\n";
    head += "Host: " + endpoint.host + ":" + std::to_string(endpoint.port) + "\r\n";
    head += "Authorization: Basic " +
            base64(std::string(dd::service::kUserName) + ":" + dd::service::kSecret) + "\r\n";
    head += std::string("User-Agent: ") + exchange.agent + "\r\n";
    head += "Accept: */*\r\n";
    if (exchange.jsonHeader) {
        head += "Content-Type: application/json\r\n";
    }
    if (contentLength) {
        head += "Content-Length: " + std::to_string(*contentLength) + "\r\n";
    }
    return head + "\r\n";
}

// One exchange on one connection. Every wait is at most the silence limit
// and never past the call's deadline, and ends when stop is set.
class Connection {
  public:
    Connection(const ServiceEndpoint& endpoint, const char* name)
        : m_endpoint(endpoint),
          m_name(name),
          m_deadline(Clock::now() +
                     std::chrono::milliseconds(std::max(1L, endpoint.totalLimitMs))) {}

    bool stopped() const { return m_endpoint.stop != nullptr && m_endpoint.stop->requested(); }

    bool connect() {
        if (stopped()) {
            return false;
        }
        int error = 0;
        m_fd = dd::platform::connectTcp4(
            m_endpoint.host, static_cast<uint16_t>(m_endpoint.port),
            std::min(timeLeft(), std::chrono::milliseconds(ServiceEndpoint::kConnectTimeoutMs)),
            m_endpoint.stop, &error);
        if (!m_fd) {
            DD_LOG(LOG_ERR) << m_name << ": cannot connect to " << m_endpoint.host << ":"
                            << m_endpoint.port << " (error " << error << ")";
        }
        return static_cast<bool>(m_fd);
    }

    bool send(const char* data, size_t size) {
        auto wait = silenceOrLeft();
        if (wait.count() <= 0 ||
            !dd::platform::sendAllWithin(m_fd.get(), data, size, wait, m_endpoint.stop)) {
            DD_LOG(LOG_ERR) << m_name << ": the request could not be sent";
            return false;
        }
        return true;
    }

    // Receives more bytes onto pending. False when the peer closed (closed()
    // tells), fell silent, the deadline passed, stop was set, or it failed.
    bool receiveMore() {
        for (;;) {
            auto wait = silenceOrLeft();
            if (wait.count() <= 0) {
                DD_LOG(LOG_ERR) << m_name << ": no whole answer within " << m_endpoint.totalLimitMs
                                << " ms";
                return false;
            }
            auto waited =
                dd::platform::waitForFd(m_fd.get(), dd::platform::Io::Read, wait, m_endpoint.stop);
            if (waited == dd::platform::WaitOutcome::TimedOut) {
                DD_LOG(LOG_ERR) << m_name << ": the service fell silent";
                return false;
            }
            if (waited != dd::platform::WaitOutcome::Ready) {
                return false;
            }
            char buffer[ServiceEndpoint::kPieceSize];
            bool retry = false;
            long got = dd::platform::receiveSome(m_fd.get(), buffer, sizeof(buffer), retry);
            if (retry) {
                continue;
            }
            if (got <= 0) {
                m_closed = got == 0;
                return false;
            }
            pending.append(buffer, static_cast<size_t>(got));
            return true;
        }
    }

    bool closed() const { return m_closed; }

    std::string pending;  // received, not yet taken

  private:
    std::chrono::milliseconds timeLeft() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
    }
    std::chrono::milliseconds silenceOrLeft() const {
        return std::min(timeLeft(),
                        std::chrono::milliseconds(ServiceEndpoint::kSilenceLimitSeconds * 1000));
    }

    const ServiceEndpoint& m_endpoint;
    const char* m_name;
    Clock::time_point m_deadline;
    dd::platform::UniqueFd m_fd;
    bool m_closed = false;
};

// Sends the head and what follows it: the upload's pieces, or the body.
bool sendRequest(Connection& connection, const ServiceEndpoint& endpoint, Exchange& exchange) {
    std::optional<uint64_t> length;
    if (exchange.upload != nullptr) {
        length = exchange.upload->length;
    } else if (exchange.body != nullptr && !exchange.body->empty()) {
        length = exchange.body->size();
    }
    std::string head = requestHead(endpoint, exchange, length);
    if (!connection.send(head.data(), head.size())) {
        return false;
    }
    if (exchange.upload != nullptr) {
        char piece[ServiceEndpoint::kPieceSize];
        uint64_t left = exchange.upload->length;
        while (left != 0) {
            long got = dd::service::nextUploadPiece(*exchange.upload, piece, sizeof(piece));
            if (got <= 0) {
                if (got == 0) {
                    // The file got shorter than announced: the request cannot be completed.
                    exchange.upload->readError = true;
                }
                return false;
            }
            if (!connection.send(piece, static_cast<size_t>(got))) {
                return false;
            }
            left -= std::min<uint64_t>(left, static_cast<uint64_t>(got));
        }
        return true;
    }
    return !length || connection.send(exchange.body->data(), exchange.body->size());
}

// Reads the answer's head, skipping interim (1xx) answers.
std::optional<AnswerHead> receiveHead(Connection& connection) {
    for (;;) {
        size_t end = connection.pending.find("\r\n\r\n");
        while (end == std::string::npos) {
            if (connection.pending.size() > kMaxHeadBytes || !connection.receiveMore()) {
                return std::nullopt;
            }
            end = connection.pending.find("\r\n\r\n");
        }
        std::optional<AnswerHead> head =
            parseHead(std::string_view(connection.pending).substr(0, end));
        connection.pending.erase(0, end + 4);
        if (!head || head->status >= 200 || head->status < 100) {
            return head;
        }
    }
}

// Hands count body bytes to the sink as they arrive (everything up to the
// close when count is empty).
bool receiveBody(Connection& connection, BodySink& sink, long status,
                 std::optional<uint64_t> count) {
    uint64_t left = count.value_or(UINT64_MAX);
    for (;;) {
        size_t take = static_cast<size_t>(std::min<uint64_t>(left, connection.pending.size()));
        if (take != 0) {
            if (!dd::service::acceptBody(sink, connection.pending.data(), take, status)) {
                return false;
            }
            connection.pending.erase(0, take);
            left -= take;
        }
        if (left == 0) {
            return true;
        }
        if (!connection.receiveMore()) {
            return !count && connection.closed();
        }
    }
}

// One line of the chunked framing, without its line break.
std::optional<std::string> receiveLine(Connection& connection) {
    size_t end = connection.pending.find("\r\n");
    while (end == std::string::npos) {
        if (connection.pending.size() > kMaxChunkLineBytes || !connection.receiveMore()) {
            return std::nullopt;
        }
        end = connection.pending.find("\r\n");
    }
    std::string line = connection.pending.substr(0, end);
    connection.pending.erase(0, end + 2);
    return line;
}

bool receiveChunkedBody(Connection& connection, BodySink& sink, long status) {
    for (;;) {
        std::optional<std::string> line = receiveLine(connection);
        if (!line) {
            return false;
        }
        std::string_view size = trimmed(std::string_view(*line).substr(0, line->find(';')));
        std::optional<uint64_t> length = parseNumber(size, 16);
        if (!length) {
            DD_LOG(LOG_ERR) << "bad chunk size in the service's answer";
            return false;
        }
        if (*length == 0) {
            // Trailer lines, up to the empty one.
            for (;;) {
                line = receiveLine(connection);
                if (!line) {
                    return false;
                }
                if (line->empty()) {
                    return true;
                }
            }
        }
        if (!receiveBody(connection, sink, status, *length)) {
            return false;
        }
        line = receiveLine(connection);
        if (!line || !line->empty()) {
            return false;
        }
    }
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
    Connection connection(endpoint, exchange.name);
    bool whole = false;
    if (connection.connect() && sendRequest(connection, endpoint, exchange)) {
        std::optional<AnswerHead> head = receiveHead(connection);
        if (head) {
            outcome.httpStatus = head->status;
            whole = head->chunked
                        ? receiveChunkedBody(connection, *exchange.sink, head->status)
                        : receiveBody(connection, *exchange.sink, head->status, head->length);
        } else if (!connection.stopped()) {
            DD_LOG(LOG_ERR) << exchange.name << ": no HTTP answer";
        }
    }
    if (whole) {
        outcome.result = ServiceResult::Ok;
    } else if (exchange.upload != nullptr && exchange.upload->readError) {
        outcome.result = ServiceResult::LocalFile;
    } else if ((exchange.upload != nullptr && exchange.upload->cancelled) || connection.stopped()) {
        outcome.result = ServiceResult::Cancelled;
    } else if (exchange.sink->tooLarge) {
        outcome.result = ServiceResult::TooLarge;
    } else if (exchange.sink->fileError) {
        outcome.result = ServiceResult::LocalFile;
    }
    if (!whole) {
        DD_LOG(LOG_ERR) << exchange.name << " " << exchange.method << " failed";
    }
    return outcome;
}

}  // namespace dd::service
