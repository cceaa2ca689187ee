#include "deviceinfo/json_fields.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <vector>

#include "base/utf8_encode.h"
#include "deviceinfo/info_cipher.h"
#include "deviceinfo/json_dialect.h"

namespace dd::json {

namespace {

using Node = Value::Node;
using dialect::Prepared;

// Values nested this deep are refused (the root is at depth 0).
constexpr size_t kMaxDepth = 1000;

// Builds the tree from the library's events, with the literals looked up.
class Builder {
  public:
    using json = nlohmann::json;

    explicit Builder(const std::vector<std::shared_ptr<const Node>>& literals)
        : m_literals(literals) {}

    std::shared_ptr<const Node> root() const { return m_root; }

    bool null() { return add(std::make_shared<Node>()); }
    bool boolean(bool value) {
        auto node = std::make_shared<Node>();
        node->kind = Kind::Boolean;
        node->boolean = value;
        return add(std::move(node));
    }
    // Every number reaches the library as a literal string.
    bool number_integer(json::number_integer_t) { return false; }
    bool number_unsigned(json::number_unsigned_t) { return false; }
    bool number_float(json::number_float_t, const json::string_t&) { return false; }
    bool binary(json::binary_t&) { return false; }
    bool string(json::string_t& value) {
        std::shared_ptr<const Node> node = lookup(value);
        return node != nullptr && add(node);
    }
    bool key(json::string_t& value) {
        std::shared_ptr<const Node> node = lookup(value);
        if (node == nullptr || node->kind != Kind::String) {
            return false;
        }
        m_key = node->text;
        return true;
    }
    bool start_object(std::size_t) { return open(Kind::Object); }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(Kind::Array); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

  private:
    std::shared_ptr<const Node> lookup(const std::string& placeholder) const {
        if (placeholder.size() < 2) {
            return nullptr;
        }
        size_t index = std::strtoul(placeholder.c_str() + 1, nullptr, 10);
        return index < m_literals.size() ? m_literals[index] : nullptr;
    }

    bool add(std::shared_ptr<const Node> node) {
        if (m_stack.size() >= kMaxDepth) {
            return false;
        }
        if (m_stack.empty()) {
            m_root = std::move(node);
        } else if (m_stack.back()->kind == Kind::Object) {
            m_stack.back()->members[m_key] = std::move(node);  // the last one counts
        }
        return true;
    }

    bool open(Kind kind) {
        auto node = std::make_shared<Node>();
        node->kind = kind;
        if (!add(node)) {
            return false;
        }
        m_stack.push_back(std::move(node));
        return true;
    }

    bool close() {
        m_stack.pop_back();
        return true;
    }

    const std::vector<std::shared_ptr<const Node>>& m_literals;
    std::shared_ptr<const Node> m_root;
    std::vector<std::shared_ptr<Node>> m_stack;
    std::string m_key;
};

// "%.17g" as the C locale writes it, with ".0" when it shows neither a
// point nor an exponent.
std::string realText(double value) {
    char buffer[40];
    std::snprintf(buffer, sizeof(buffer), "%.17g", value);
    std::string out(buffer);
    for (char& c : out) {
        if (c == ',') {
            c = '.';
        }
    }
    if (out.find('.') == std::string::npos && out.find('e') == std::string::npos) {
        out += ".0";
    }
    return out;
}

}  // namespace

bool Value::isNull() const {
    return m_node == nullptr || m_node->kind == Kind::Null;
}

bool Value::isObject() const {
    return m_node != nullptr && m_node->kind == Kind::Object;
}

bool parseDocument(std::string_view document, Value& root) {
    try {
        Prepared prepared = dialect::prepare(document);
        Builder builder(prepared.literals);
        bool parsed =
            nlohmann::json::sax_parse(prepared.text, &builder, nlohmann::json::input_format_t::json,
                                      /*strict=*/false, /*ignore_comments=*/false);
        if (!parsed || builder.root() == nullptr) {
            return false;
        }
        root = Value(builder.root());
        return true;
    } catch (const std::exception&) {
        return false;  // out of memory: not a usable document either
    }
}

Value member(const Value& object, const char* key) {
    if (object.isNull()) {
        return Value();
    }
    if (!object.isObject()) {
        throw WrongJsonType();
    }
    const auto& members = object.node()->members;
    auto found = members.find(key);
    return found == members.end() ? Value() : Value(found->second);
}

std::string text(const Value& value) {
    const Node* node = value.node();
    if (node == nullptr) {
        return {};
    }
    switch (node->kind) {
        case Kind::Null:
            return {};
        case Kind::Boolean:
            return node->boolean ? "true" : "false";
        case Kind::Integer:
            return std::to_string(node->integer);
        case Kind::Unsigned:
            return std::to_string(node->unsignedInteger);
        case Kind::Real:
            return realText(node->real);
        case Kind::String:
            return cleanPhoneText(node->text);
        default:
            throw WrongJsonType();
    }
}

int32_t integer(const Value& value) {
    const Node* node = value.node();
    constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    if (node == nullptr) {
        return 0;
    }
    switch (node->kind) {
        case Kind::Null:
            return 0;
        case Kind::Boolean:
            return node->boolean ? 1 : 0;
        case Kind::Integer:
            if (node->integer >= kMin && node->integer <= kMax) {
                return static_cast<int32_t>(node->integer);
            }
            break;
        case Kind::Unsigned:
            if (node->unsignedInteger <= static_cast<uint64_t>(kMax)) {
                return static_cast<int32_t>(node->unsignedInteger);
            }
            break;
        case Kind::Real:
            if (node->real >= static_cast<double>(kMin) &&
                node->real <= static_cast<double>(kMax)) {
                return static_cast<int32_t>(node->real);
            }
            break;
        default:
            break;
    }
    throw WrongJsonType();
}

int64_t decimal64(std::string_view digits) {
    size_t pos = 0;
    while (pos < digits.size() && (digits[pos] == ' ' || digits[pos] == '\t')) {
        ++pos;
    }
    bool negative = false;
    if (pos < digits.size() && (digits[pos] == '+' || digits[pos] == '-')) {
        negative = digits[pos] == '-';
        ++pos;
    }
    // Accumulate as a negative number, whose range holds INT64_MIN too.
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    int64_t value = 0;
    for (; pos < digits.size() && digits[pos] >= '0' && digits[pos] <= '9'; ++pos) {
        int digit = digits[pos] - '0';
        if (value < (kMin + digit) / 10) {
            value = kMin;
            break;
        }
        value = value * 10 - digit;
    }
    if (negative) {
        return value;
    }
    return value == kMin ? std::numeric_limits<int64_t>::max() : -value;
}

}  // namespace dd::json
