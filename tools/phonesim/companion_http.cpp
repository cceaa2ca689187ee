#include "companion_http.h"
#include "text_util.h"

#include <openssl/evp.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "loopback_server.h"

namespace phonesim {
namespace {

constexpr size_t kMaxHead = 16 * 1024;

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool parseHead(std::string_view head, HttpRequest& request) {
    size_t lineEnd = head.find("\r\n");
    std::string_view requestLine = head.substr(0, lineEnd);
    size_t firstSpace = requestLine.find(' ');
    size_t lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || lastSpace == firstSpace) {
        return false;
    }
    request.method = std::string(requestLine.substr(0, firstSpace));
    request.target = std::string(requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1));
    while (lineEnd != std::string_view::npos) {
        size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        std::string_view line = head.substr(start, lineEnd - start);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        request.headers.emplace_back(std::string(trimBlanks(line.substr(0, colon))),
                                     std::string(trimBlanks(line.substr(colon + 1))));
    }
    return true;
}

}  // namespace

std::string HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) {
            return value;
        }
    }
    return {};
}

std::string HttpRequest::path() const {
    return percentDecode(target.substr(0, target.find('?')));
}

std::string HttpRequest::query() const {
    size_t mark = target.find('?');
    return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

std::optional<HttpRequest> readHttpRequest(int fd, size_t maxBody) {
    std::string data;
    size_t headEnd = std::string::npos;
    char chunk[4096];
    while (headEnd == std::string::npos) {
        if (data.size() > kMaxHead) {
            return std::nullopt;
        }
        ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        data.append(chunk, static_cast<size_t>(n));
        headEnd = data.find("\r\n\r\n");
    }
    HttpRequest request;
    if (!parseHead(std::string_view(data).substr(0, headEnd), request)) {
        return std::nullopt;
    }
    std::string lengthText = request.header("Content-Length");
    size_t length = 0;
    for (char c : lengthText) {
        if (c < '0' || c > '9' || length > maxBody) {
            return std::nullopt;
        }
        length = length * 10 + static_cast<size_t>(c - '0');
    }
    if (length > maxBody) {
        return std::nullopt;
    }
    if (equalsIgnoreCase(request.header("Expect"), "100-continue") &&
        !sendAll(fd, std::string("HTTP/1.1 100 Continue\r\n\r\n"))) {
        return std::nullopt;
    }
    request.body = data.substr(headEnd + 4);
    if (request.body.size() > length) {
        request.body.resize(length);
    }
    size_t have = request.body.size();
    request.body.resize(length);
    if (!recvExact(fd, request.body.data() + have, length - have)) {
        return std::nullopt;
    }
    return request;
}

std::string httpResponse(int status, std::string_view contentType, std::string_view body) {
    const char* reason = status == 200   ? "OK"
                         : status == 401 ? "Unauthorized"
                         : status == 404 ? "Not Found"
                                         : "Error";
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    if (status == 401) {
        out += "WWW-Authenticate: Basic realm=\"QXHttpd\"\r\n";
    }
    out += "Content-Type: " + std::string(contentType) + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    out += body;
    return out;
}

std::string base64Encode(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16 |
                         static_cast<uint8_t>(bytes[i + 1]) << 8 |
                         static_cast<uint8_t>(bytes[i + 2]);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += kAlphabet[(group >> 6) & 63];
        out += kAlphabet[group & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest != 0) {
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
        if (rest == 2) {
            group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        }
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigitValue(text[i + 1]) >= 0 &&
            hexDigitValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigitValue(text[i + 1]) * 16 + hexDigitValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string sealInfoReply(std::string_view json, std::string_view key) {
    const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_ecb()
                               : key.size() == 24 ? EVP_aes_192_ecb()
                               : key.size() == 32 ? EVP_aes_256_ecb()
                                                  : nullptr;
    if (cipher == nullptr) {
        return {};
    }
    std::string plain(json);
    plain.resize((plain.size() + 15) / 16 * 16, '\0');
    std::string sealed(plain.size(), '\0');
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                            &EVP_CIPHER_CTX_free);
    int written = 0;
    if (!context ||
        EVP_EncryptInit_ex(context.get(), cipher, nullptr,
                           reinterpret_cast<const unsigned char*>(key.data()), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
        EVP_EncryptUpdate(context.get(), reinterpret_cast<unsigned char*>(sealed.data()), &written,
                          reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size())) != 1) {
        return {};
    }
    return base64Encode(sealed);
}

}  // namespace phonesim
