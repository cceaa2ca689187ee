// The module's JSON dialect, read apart from the JSON library: strings and
// numbers are taken out of the document and stand in a strict text the
// library parses. Internal to the JSON reader (json_fields.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "deviceinfo/json_fields.h"

namespace dd::json {

enum class Kind { Null, Boolean, Integer, Unsigned, Real, String, Array, Object };

struct Value::Node {
    Kind kind = Kind::Null;
    bool boolean = false;
    int64_t integer = 0;
    uint64_t unsignedInteger = 0;
    double real = 0;
    std::string text;
    // Array items are never read: an array is kept as its kind alone.
    std::map<std::string, std::shared_ptr<const Node>> members;
};

namespace dialect {

// Strings and numbers come out of the document first, in the module's
// dialect, and stand in the text handed to the JSON library as "s<n>" or
// "n<n>": so the library sees only its own strict grammar, and what it
// reads is looked up in the table. Comments go; a trailing comma before
// "]" or "}" goes; what the dialect refuses becomes kRefused.
struct Prepared {
    std::string text;
    std::vector<std::shared_ptr<const Value::Node>> literals;
};

// The document in the strict form, with its literals.
Prepared prepare(std::string_view document);

}  // namespace dialect
}  // namespace dd::json
