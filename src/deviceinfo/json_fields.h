// Reading the companion service's JSON answers. The phone is untrusted: a
// value of the wrong JSON type throws WrongJsonType, which each caller turns
// into a parse failure. The JSON library is named only in json_fields.cpp.
//
// The reader keeps the dialect the module has always accepted: comments,
// a trailing comma before "]" or "}", trailing text after the document,
// numbers as "01", "1.", "+1" or "-" (zero), any bytes inside strings
// (made valid UTF-8 when read as text), "\u" escapes of lone surrogates;
// in an object, after a value and a comment, any one token serves as the
// comma. It refuses nesting 1000 deep, numbers out of the double range,
// bad escapes and a comment between a member's name and its colon. A
// repeated member keeps its last value.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace dd::json {

struct WrongJsonType : std::exception {
    const char* what() const noexcept override { return "wrong JSON type"; }
};

// One value of a parsed document; a default-made value is null. Copies
// share the (immutable) tree.
class Value {
  public:
    Value() = default;
    bool isNull() const;
    bool isObject() const;

    struct Node;  // defined by the reader
    explicit Value(std::shared_ptr<const Node> node) : m_node(std::move(node)) {}
    const Node* node() const { return m_node.get(); }

  private:
    std::shared_ptr<const Node> m_node;
};

// Parses a document. False when it does not parse; never throws.
bool parseDocument(std::string_view document, Value& root);

// The member key of an object; a missing object (null) has only null
// members, anything else than an object or null is the wrong type.
Value member(const Value& object, const char* key);

// The value as text: null is empty, numbers and booleans give their text
// (a real number as "%.17g", with ".0" when that shows no point or
// exponent), objects and arrays throw; cut at NUL and made valid UTF-8.
std::string text(const Value& value);

// Integer conversion: null is 0, a boolean 0 or 1, a number within the
// 32-bit range converts (a real one truncated), anything else throws.
int32_t integer(const Value& value);

// Decimal text to a 64-bit number as _atoi64 reads it: leading blanks, an
// optional sign, the digits up to the first other character. Out-of-range
// values saturate instead of wrapping.
int64_t decimal64(std::string_view digits);

}  // namespace dd::json
