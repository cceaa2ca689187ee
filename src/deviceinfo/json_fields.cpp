#include "deviceinfo/json_fields.h"

#include <limits>
#include <memory>

#include "deviceinfo/info_cipher.h"

namespace dd::json {

bool parseDocument(std::string_view document, Json::Value& root) {
    try {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = true;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        return reader->parse(document.data(), document.data() + document.size(), &root, &errors);
    } catch (const std::exception&) {
        // The reader throws past its nesting limit.
        return false;
    }
}

const Json::Value& member(const Json::Value& object, const char* key) {
    if (object.isNull()) {
        return Json::Value::nullSingleton();
    }
    if (!object.isObject()) {
        throw WrongJsonType();
    }
    return object[key];
}

std::string text(const Json::Value& value) {
    if (value.isNull()) {
        return {};
    }
    if (value.isArray() || value.isObject()) {
        throw WrongJsonType();
    }
    return cleanPhoneText(value.asString());
}

int32_t integer(const Json::Value& value) {
    return value.asInt();
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
