// The readers of JSON values that come from a phone.
#include "deviceinfo/json_fields.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(Decimal64, ReadsLikeAtoi64) {
    EXPECT_EQ(dd::json::decimal64("119185342464"), 119185342464LL);
    EXPECT_EQ(dd::json::decimal64("  \t42abc"), 42);
    EXPECT_EQ(dd::json::decimal64("+7"), 7);
    EXPECT_EQ(dd::json::decimal64("-7"), -7);
    EXPECT_EQ(dd::json::decimal64(""), 0);
    EXPECT_EQ(dd::json::decimal64("x12"), 0);
    EXPECT_EQ(dd::json::decimal64("-"), 0);
}

TEST(Decimal64, SaturatesAtTheEndsOfTheRange) {
    EXPECT_EQ(dd::json::decimal64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(dd::json::decimal64("9223372036854775808"), INT64_MAX);
    EXPECT_EQ(dd::json::decimal64("99999999999999999999999999"), INT64_MAX);
    EXPECT_EQ(dd::json::decimal64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(dd::json::decimal64("-99999999999999999999999999"), INT64_MIN);
}

TEST(JsonFields, WrongTypesThrowAndNullsAreEmpty) {
    Json::Value root;
    ASSERT_TRUE(dd::json::parseDocument(R"({"o":{"k":"v"},"a":[1],"n":5,"s":"x"})", root));
    EXPECT_EQ(dd::json::text(dd::json::member(dd::json::member(root, "o"), "k")), "v");
    EXPECT_EQ(dd::json::text(dd::json::member(dd::json::member(root, "none"), "k")), "");
    EXPECT_EQ(dd::json::text(dd::json::member(root, "n")), "5");
    EXPECT_EQ(dd::json::integer(dd::json::member(root, "none")), 0);
    EXPECT_THROW(dd::json::member(root["s"], "k"), std::exception);
    EXPECT_THROW(dd::json::member(root["a"], "k"), std::exception);
    EXPECT_THROW(dd::json::text(root["o"]), std::exception);
    EXPECT_THROW(dd::json::integer(root["s"]), std::exception);
}

TEST(JsonFields, ParseNeverThrows) {
    Json::Value root;
    EXPECT_FALSE(dd::json::parseDocument(std::string(100000, '['), root));
    EXPECT_FALSE(dd::json::parseDocument("", root));
    EXPECT_FALSE(dd::json::parseDocument("{\"a\":", root));
    EXPECT_TRUE(dd::json::parseDocument("// note\n{\"a\":1} trailing", root));
}

}  // namespace
