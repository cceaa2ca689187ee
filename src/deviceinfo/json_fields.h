// Reading the companion service's JSON answers with jsoncpp. The phone is
// untrusted: a value of the wrong JSON type throws WrongJsonType (or one of
// jsoncpp's own exceptions), which each caller turns into a parse failure.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace dd::json {

struct WrongJsonType : std::exception {
    const char* what() const noexcept override { return "wrong JSON type"; }
};

// Parses a document (comments allowed, trailing text ignored). False when it
// does not parse; never throws.
bool parseDocument(std::string_view document, Json::Value& root);

// The member key of an object; a missing object (null) has only null
// members, anything else than an object or null is the wrong type.
const Json::Value& member(const Json::Value& object, const char* key);

// Text as jsoncpp converts it (null is empty, numbers and booleans give
// their text, objects and arrays throw), cut at NUL and made valid UTF-8.
std::string text(const Json::Value& value);

// jsoncpp's integer conversion: null is 0, a number or boolean within range
// converts, anything else throws.
int32_t integer(const Json::Value& value);

// Decimal text to a 64-bit number as _atoi64 reads it: leading blanks, an
// optional sign, the digits up to the first other character. Out-of-range
// values saturate instead of wrapping.
int64_t decimal64(std::string_view digits);

}  // namespace dd::json
