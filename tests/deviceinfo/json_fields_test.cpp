// The readers of JSON values that come from a phone.
#include "deviceinfo/json_fields.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using dd::json::member;
using dd::json::Value;

TEST(Decimal64, ReadsLikeAtoi64AndSaturates) {
    const std::pair<const char*, int64_t> cases[] = {
        {"119185342464", 119185342464LL},
        {"  \t42abc", 42},
        {"+7", 7},
        {"-7", -7},
        {"", 0},
        {"x12", 0},
        {"-", 0},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", INT64_MAX},
        {"99999999999999999999999999", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"-99999999999999999999999999", INT64_MIN},
    };
    for (const auto& [digits, value] : cases) {
        EXPECT_EQ(dd::json::decimal64(digits), value) << digits;
    }
}

TEST(JsonFields, WrongTypesThrowAndNullsAreEmpty) {
    Value root;
    ASSERT_TRUE(dd::json::parseDocument(R"({"o":{"k":"v"},"a":[1],"n":5,"s":"x"})", root));
    EXPECT_EQ(dd::json::text(member(member(root, "o"), "k")), "v");
    EXPECT_EQ(dd::json::text(member(member(root, "none"), "k")), "");
    EXPECT_EQ(dd::json::text(member(root, "n")), "5");
    EXPECT_EQ(dd::json::integer(member(root, "none")), 0);
    EXPECT_THROW(member(member(root, "s"), "k"), std::exception);
    EXPECT_THROW(member(member(root, "a"), "k"), std::exception);
    EXPECT_THROW(dd::json::text(member(root, "o")), std::exception);
    EXPECT_THROW(dd::json::text(member(root, "a")), std::exception);
    EXPECT_THROW(dd::json::integer(member(root, "s")), std::exception);
}

// What the module has always accepted and refused, and how a value "a"
// then reads as text and as an integer ("!" where the conversion throws).
TEST(JsonFields, ReadsTheModulesDialect) {
    struct Case {
        std::string document;
        bool parses;
        const char* text = "";
        const char* integer = "";
    } cases[] = {
        {"", false},
        {"{\"a\":", false},
        {"// note\n{\"a\":1} trailing", true, "1", "1"},
        {"{\"a\":1,}", true, "1", "1"},
        {"{\"a\":1, /* c */ }", true, "1", "1"},
        {"{\"a\":[1, ]}", true, "!", "!"},
        {"{\"a\":[1,/* c */]}", false},
        {"{\"a\":[/* c */]}", false},
        {"{\"a\":[,]}", false},
        {"{,}", false},
        {"{\"a\":1,,}", false},
        {"{\"a\" /* c */ :1}", false},
        {"{\"a\":1 /* c */ x \"b\":2}", true, "1", "1"},
        {"{\"a\": /* c */ 1 /* d */}", true, "1", "1"},
        {"{\"a\":1,\"a\":2}", true, "2", "2"},
        {"{\"a\":01}", true, "1", "1"},
        {"{\"a\":-}", true, "0", "0"},
        {"{\"a\":+1}", true, "1.0", "1"},
        {"{\"a\":1.}", true, "1.0", "1"},
        {"{\"a\":-.5}", true, "-0.5", "0"},
        {"{\"a\":0.1}", true, "0.10000000000000001", "0"},
        {"{\"a\":-0.0}", true, "-0.0", "0"},
        {"{\"a\":1e20}", true, "1e+20", "!"},
        {"{\"a\":1e-400}", true, "0.0", "0"},
        {"{\"a\":2147483648}", true, "2147483648", "!"},
        {"{\"a\":-2147483648}", true, "-2147483648", "-2147483648"},
        {"{\"a\":18446744073709551615}", true, "18446744073709551615", "!"},
        {"{\"a\":123456789012345678901234}", true, "1.2345678901234569e+23", "!"},
        {"{\"a\":1e400}", false},
        {"{\"a\":1e}", false},
        {"{\"a\":-Infinity}", false},
        {"{\"a\":.5}", false},
        {"{\"a\":true}", true, "true", "1"},
        {"{\"a\":null}", true, "", "0"},
        {"{\"a\":\"x\ty\"}", true, "x\ty", "!"},
        {"{\"a\":\"\\ud800\\u0041\"}", true, "\xf0\x90\x81\x81", "!"},
        {"{\"a\":\"\\udc00\"}", true, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", "!"},
        {"{\"a\":\"\\ud800\"}", false},
        {"{\"a\":\"\\x\"}", false},
        {"{\"a\":\"open}", false},
        {"{\"a\":\"\xff\"}", true, "\xef\xbf\xbd", "!"},
        {"{1:2}", false},
        {std::string(999, '[') + std::string(999, ']'), true},
        {std::string(1001, '[') + std::string(1001, ']'), false},
        {std::string(100000, '['), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document.substr(0, 40));
        Value root;
        ASSERT_EQ(dd::json::parseDocument(c.document, root), c.parses);
        if (!c.parses || !root.isObject()) {
            continue;
        }
        Value a = member(root, "a");
        try {
            EXPECT_EQ(dd::json::text(a), c.text);
        } catch (const dd::json::WrongJsonType&) {
            EXPECT_STREQ(c.text, "!");
        }
        try {
            EXPECT_EQ(std::to_string(dd::json::integer(a)), c.integer);
        } catch (const dd::json::WrongJsonType&) {
            EXPECT_STREQ(c.integer, "!");
        }
    }
}

}  // namespace
