#include "deviceinfo/json_dialect.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "base/utf8_encode.h"

namespace dd::json::dialect {
namespace {

using Node = Value::Node;

// A byte the JSON grammar never accepts: put where the module's dialect
// refuses something, so that the document fails there if it is reached.
constexpr char kRefused = '\x01';

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool hex4(std::string_view text, size_t at, uint32_t& out) {
    if (at + 4 > text.size()) {
        return false;
    }
    out = 0;
    for (size_t i = at; i < at + 4; ++i) {
        char c = text[i];
        int digit = isDigit(c)               ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0) {
            return false;
        }
        out = (out << 4) | static_cast<uint32_t>(digit);
    }
    return true;
}

// The inside of a string literal to its bytes. Raw bytes pass as they are;
// a high surrogate escape takes the next "\u" escape as its second half,
// whatever it is; a lone low surrogate is encoded as it stands.
bool decodeString(std::string_view body, std::string& out) {
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\\') {
            out += body[i];
            continue;
        }
        if (++i == body.size()) {
            return false;
        }
        switch (body[i]) {
            case '"':
            case '/':
            case '\\':
                out += body[i];
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                uint32_t cp = 0;
                if (!hex4(body, i + 1, cp)) {
                    return false;
                }
                i += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t second = 0;
                    if (body.size() - i - 1 < 6 || body[i + 1] != '\\' || body[i + 2] != 'u' ||
                        !hex4(body, i + 3, second)) {
                        return false;
                    }
                    i += 6;
                    cp = 0x10000 + ((cp & 0x3FF) << 10) + (second & 0x3FF);
                }
                dd::appendUtf8(out, static_cast<char32_t>(cp));
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

// A number token as the module's dialect reads it: integers that fit 64
// bits stay integers, anything else is a double that must be finite.
bool decodeNumber(std::string_view token, Node& node) {
    bool isReal = false;
    for (size_t i = 0; i < token.size(); ++i) {
        char c = token[i];
        isReal = isReal || c == '.' || c == 'e' || c == 'E' || c == '+' || (c == '-' && i != 0);
    }
    if (!isReal) {
        bool negative = token[0] == '-';
        uint64_t limit = negative ? uint64_t{1} << 63 : std::numeric_limits<uint64_t>::max();
        uint64_t value = 0;
        bool fits = true;
        for (size_t i = negative ? 1 : 0; i < token.size() && fits; ++i) {
            auto digit = static_cast<uint64_t>(token[i] - '0');
            fits = value <= (limit - digit) / 10;
            value = value * 10 + digit;
        }
        if (fits) {
            if (negative) {
                node.kind = Kind::Integer;
                node.integer = value == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                                            : -static_cast<int64_t>(value);
            } else if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
                node.kind = Kind::Integer;
                node.integer = static_cast<int64_t>(value);
            } else {
                node.kind = Kind::Unsigned;
                node.unsignedInteger = value;
            }
            return true;
        }
    }
    std::string copy(token);
    char* end = nullptr;
    double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || std::isinf(value)) {
        return false;
    }
    node.kind = Kind::Real;
    node.real = value;
    return true;
}

class Preparer {
  public:
    explicit Preparer(std::string_view document) : m_in(document) {}

    Prepared run() {
        while (m_pos < m_in.size()) {
            char c = m_in[m_pos];
            if (isSpace(c)) {
                m_out.text += c;
                ++m_pos;
            } else if (c == '/' && m_pos + 1 < m_in.size() &&
                       (m_in[m_pos + 1] == '*' || m_in[m_pos + 1] == '/')) {
                if (!comment()) {
                    break;
                }
            } else if (m_commentSinceLast && m_last == Last::Value && inObject() && c != ',' &&
                       c != '}') {
                // After a member's value and a comment, whatever token comes
                // next stands for the comma.
                comma(tokenLength());
            } else if (c == '/') {
                if (!comment()) {
                    break;
                }
            } else if (c == '"') {
                if (!string()) {
                    break;
                }
            } else if (isDigit(c) || c == '-' || c == '+') {
                number();
            } else if (c == ',') {
                comma(1);
            } else {
                structural(c);
            }
        }
        return std::move(m_out);
    }

  private:
    // What came last: Key is a member name, Value the end of any value.
    enum class Last { Start, Open, Comma, Colon, Key, Value };

    bool inObject() const { return !m_open.empty() && m_open.back() == '{'; }

    // How far one token reaches, however malformed: a string to its quote
    // (or the end), a number as number() reads it, a literal when it is
    // whole, else one character ("/" takes the next one along).
    size_t tokenLength() const {
        char c = m_in[m_pos];
        std::string_view rest = m_in.substr(m_pos);
        if (c == '"') {
            size_t end = 1;
            while (end < rest.size() && rest[end] != '"') {
                end += rest[end] == '\\' ? 2 : 1;
            }
            return std::min(end + 1, rest.size());
        }
        if (isDigit(c) || c == '-' || c == '+') {
            if (c != '-' && c != '+') {
                return numberEnd(m_pos) - m_pos;
            }
            return rest.size() > 1 && rest[1] == 'I' ? 2 : numberEnd(m_pos) - m_pos;
        }
        for (std::string_view word : {"true", "false", "null"}) {
            if (rest.substr(0, word.size()) == word) {
                return word.size();
            }
        }
        return c == '/' ? std::min<size_t>(2, rest.size()) : 1;
    }

    // The end of the number token that starts at start.
    size_t numberEnd(size_t start) const {
        auto at = [&](size_t i) { return i < m_in.size() ? m_in[i] : '\0'; };
        size_t cur = start + 1;
        char c = at(cur);
        while (isDigit(c)) {
            c = at(++cur);
        }
        if (c == '.') {
            c = at(++cur);
            while (isDigit(c)) {
                c = at(++cur);
            }
        }
        if (c == 'e' || c == 'E') {
            c = at(++cur);
            if (c == '+' || c == '-') {
                c = at(++cur);
            }
            while (isDigit(c)) {
                c = at(++cur);
            }
        }
        return cur;
    }

    void emit(char c, Last last) {
        m_out.text += c;
        m_last = last;
        m_commentSinceLast = false;
        ++m_pos;
    }

    void refuse() { m_out.text += kRefused; }

    void literal(std::shared_ptr<const Node> node, char tag) {
        m_out.text += '"';
        m_out.text += tag;
        m_out.text += std::to_string(m_out.literals.size());
        m_out.text += '"';
        m_out.literals.push_back(std::move(node));
        m_commentSinceLast = false;
    }

    void structural(char c) {
        if (c == '[' || c == '{') {
            m_open.push_back(c);
            emit(c, Last::Open);
            return;
        }
        if (c == ']' || c == '}') {
            // An array closes after "[" or "," only when no comment stands
            // between them.
            if (c == ']' && m_commentSinceLast && (m_last == Last::Open || m_last == Last::Comma)) {
                refuse();
            }
            if (!m_open.empty()) {
                m_open.pop_back();
            }
            emit(c, Last::Value);
            return;
        }
        if (c == ':') {
            // No comment between a member name and its colon.
            if (m_commentSinceLast && m_last == Last::Key) {
                refuse();
            }
            emit(c, Last::Colon);
            return;
        }
        emit(c, Last::Value);
    }

    // A separator of length bytes at m_pos.
    void comma(size_t length) {
        bool afterValue = m_last == Last::Key || m_last == Last::Value;
        size_t next = m_pos + length;
        for (;;) {
            while (next < m_in.size() && isSpace(m_in[next])) {
                ++next;
            }
            // An object may have comments between a trailing comma and "}".
            if (next + 1 < m_in.size() && m_in[next] == '/' &&
                (m_in[next + 1] == '*' || m_in[next + 1] == '/') && !m_open.empty() &&
                m_open.back() == '{') {
                size_t end = m_in[next + 1] == '*' ? m_in.find("*/", next + 2)
                                                   : m_in.find_first_of("\r\n", next + 2);
                if (end == std::string_view::npos) {
                    break;
                }
                next = end + (m_in[next + 1] == '*' ? 2 : 1);
                continue;
            }
            break;
        }
        bool closes = next < m_in.size() && !m_open.empty() &&
                      ((m_in[next] == ']' && m_open.back() == '[') ||
                       (m_in[next] == '}' && m_open.back() == '{'));
        if (afterValue && closes) {
            // A trailing comma: left out, with what stood between it and the
            // bracket (only blanks, or comments in an object).
            m_last = Last::Value;
            m_pos = next;
            m_commentSinceLast = false;
            return;
        }
        m_out.text += ',';
        m_last = Last::Comma;
        m_commentSinceLast = false;
        m_pos += length;
    }

    bool comment() {
        if (m_pos + 1 < m_in.size() && m_in[m_pos + 1] == '*') {
            size_t end = m_in.find("*/", m_pos + 2);
            if (end == std::string_view::npos) {
                refuse();
                return false;
            }
            m_pos = end + 2;
        } else if (m_pos + 1 < m_in.size() && m_in[m_pos + 1] == '/') {
            size_t end = m_in.find_first_of("\r\n", m_pos + 2);
            m_pos = end == std::string_view::npos ? m_in.size() : end;
        } else {
            refuse();
            return false;
        }
        m_out.text += ' ';
        m_commentSinceLast = true;
        return true;
    }

    bool string() {
        size_t end = m_pos + 1;
        while (end < m_in.size() && m_in[end] != '"') {
            end += m_in[end] == '\\' ? 2 : 1;
        }
        if (end >= m_in.size()) {
            refuse();  // not closed
            return false;
        }
        auto node = std::make_shared<Node>();
        node->kind = Kind::String;
        if (decodeString(m_in.substr(m_pos + 1, end - m_pos - 1), node->text)) {
            literal(std::move(node), 's');
        } else {
            refuse();
        }
        m_pos = end + 1;
        m_last =
            inObject() && (m_last == Last::Open || m_last == Last::Comma) ? Last::Key : Last::Value;
        return true;
    }

    void number() {
        size_t start = m_pos;
        size_t p = m_pos + 1;
        if ((m_in[start] == '-' || m_in[start] == '+') && p < m_in.size() && m_in[p] == 'I') {
            refuse();  // no infinities
            m_pos = p + 1;
            m_last = Last::Value;
            return;
        }
        // Digits, then a fraction, then an exponent, each part as far as it
        // goes: what the token means is decided when it is decoded.
        size_t cur = numberEnd(start);
        auto node = std::make_shared<Node>();
        if (decodeNumber(m_in.substr(start, cur - start), *node)) {
            literal(std::move(node), 'n');
        } else {
            refuse();
        }
        m_pos = cur;
        m_last = Last::Value;
    }

    std::string_view m_in;
    size_t m_pos = 0;
    Prepared m_out;
    Last m_last = Last::Start;
    bool m_commentSinceLast = false;
    std::vector<char> m_open;
};

}  // namespace

Prepared prepare(std::string_view document) {
    return Preparer(document).run();
}

}  // namespace dd::json::dialect
