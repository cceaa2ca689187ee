// The reply codecs, checked against vectors made with the openssl and base64
// command-line tools (commands beside each vector), not with this code.
#include "deviceinfo/info_cipher.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string fromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

std::string toHex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// printf '{"status":0,"battery":55}' > p; truncate -s 32 p
// openssl enc -aes-128-ecb -nopad -K $(printf 'wqbelsorn_R8%%~;+' | xxd -p) -in p | base64 -w0
constexpr const char* kShortReply = "QQeYKTqO2uDz1nKndvkLF/8fkarNS3unRk1yGpJOulM=";
constexpr const char* kShortJson = R"({"status":0,"battery":55})";

// The same with a 112-byte plaintext, Base64 cut into 76-character lines (base64 -w 76):
// the line breaks are skipped like any character outside the alphabet.
constexpr const char* kLongJson =
    R"({"status":0,"conf_path":"/sdcard/.orqsync","serial_number":"LB76X","os":{"build":{"model":"Orq One"}}})";
constexpr const char* kLongReplyWrapped =
    "IK9R7aUb+FoPqO8xn168jBJvC/1SKWZw4dbBstq120MmSldCz6ybMyF5ENyhqKcKPHofticdJWx1\r\n"
    "6DzpAzx7bgd65YZ4alXUdsgixJlGyAeePoC92N5XGEgx4F8gF/g1V5bmCa3AxZClsj//hkvyZQ==";

TEST(Base64Decode, CountsValidCharactersAndSkipsTheRest) {
    const std::pair<std::string, std::string> cases[] = {
        {"QUI=", "AB"},
        {"QQ==", "A"},
        {"QUJD", "ABC"},
        // Without padding the same rule holds: it is the count of valid characters.
        {"QUI", "AB"},
        {"QQ", "A"},
        // A single left-over character gives nothing.
        {"QUJDR", "ABC"},
        {"Q", ""},
        // Characters outside the alphabet are skipped.
        {" Q U\tJ\nD ", "ABC"},
        {std::string("QU\0JD", 5), "ABC"},
        {"Q*U-J_D\xff\x80", "ABC"},
        {"{}[]\":,", ""},
        {"", ""},
    };
    for (const auto& [encoded, decoded] : cases) {
        EXPECT_EQ(dd::Base64Decode(encoded), decoded) << encoded;
    }
    // printf '\x00\x01\xfe\xff\x80\x7f' | base64
    EXPECT_EQ(toHex(dd::Base64Decode("AAH+/4B/")), "0001feff807f");
}

TEST(AesDecryptEcb, Fips197KnownAnswersForEachKeySize) {
    const std::string cipher128 = fromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
    const std::string cipher192 = fromHex("dda97ca4864cdfe06eaf70a0ec0d7191");
    const std::string cipher256 = fromHex("8ea2b7ca516745bfeafc49904b496089");
    const std::string key =
        fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const std::string plain = "00112233445566778899aabbccddeeff";
    EXPECT_EQ(toHex(dd::AesDecryptEcb(key.substr(0, 16), cipher128)), plain);
    EXPECT_EQ(toHex(dd::AesDecryptEcb(key.substr(0, 24), cipher192)), plain);
    EXPECT_EQ(toHex(dd::AesDecryptEcb(key, cipher256)), plain);
}

TEST(AesDecryptEcb, KeysOfOtherLengthsAreRefused) {
    for (size_t length : {0, 5, 17, 33}) {
        EXPECT_EQ(dd::AesDecryptEcb(std::string(length, 'k'), std::string(32, 'x')), "") << length;
    }
}

TEST(AesDecryptEcb, ThirtyTwoBytesDecryptToThirtyTwoAndTheTextEndsAtTheFirstNul) {
    std::string plain = dd::AesDecryptEcb(dd::kInfoCipherKey, dd::Base64Decode(kShortReply));
    ASSERT_EQ(plain.size(), 32u);
    EXPECT_EQ(std::string(plain.c_str()), kShortJson);
    EXPECT_EQ(plain.substr(std::string(kShortJson).size()), std::string(32 - 25, '\0'));
}

TEST(AesDecryptEcb, WrappedLongReplyDecryptsBlockByBlock) {
    std::string plain = dd::AesDecryptEcb(dd::kInfoCipherKey, dd::Base64Decode(kLongReplyWrapped));
    ASSERT_EQ(plain.size(), 112u);
    EXPECT_EQ(std::string(plain.c_str()), kLongJson);
}

TEST(AesDecryptEcb, PartialLastBlockIsDecryptedFromAZeroFilledCopy) {
    // head -c 20 of the short reply's ciphertext; the last 4 bytes as
    // (tail -c +17 c | head -c 4; head -c 12 /dev/zero) | openssl enc -d ... | xxd -p
    const std::string cut = fromHex("410798293a8edae0f3d672a776f90b17ff1f91aa");
    std::string plain = dd::AesDecryptEcb(dd::kInfoCipherKey, cut);
    ASSERT_EQ(plain.size(), 20u);
    EXPECT_EQ(plain.substr(0, 16), std::string(kShortJson).substr(0, 16));
    EXPECT_EQ(toHex(plain.substr(16)), "3a0c433b");
}

TEST(AesDecryptEcb, OddLengthsNeverReadPastTheInput) {
    // Run under ASan: each length is a separate heap block of exactly that size.
    for (size_t length = 1; length <= 48; ++length) {
        std::string data(length, '\x5a');
        EXPECT_EQ(dd::AesDecryptEcb(dd::kInfoCipherKey, data).size(), length);
    }
    EXPECT_EQ(dd::AesDecryptEcb(dd::kInfoCipherKey, ""), "");
}

TEST(Utf8, ConvertsBothWaysAndReplacesMalformedInput) {
    EXPECT_EQ(dd::ToUtf8(u"Gr\u00fc\u00dfe \u624b\u673a \U0001F4F1"),
              "Gr\xc3\xbc\xc3\x9f"
              "e \xe6\x89\x8b\xe6\x9c\xba \xf0\x9f\x93\xb1");
    EXPECT_EQ(dd::FromUtf8("\xe6\x89\x8b"), u"\u624b");
    EXPECT_EQ(dd::ToUtf8(u""), "");
    std::u16string lone = u"a";
    lone += static_cast<char16_t>(0xD800);
    EXPECT_EQ(dd::ToUtf8(lone), "a\xef\xbf\xbd");
    EXPECT_EQ(dd::FromUtf8("a\xff"
                           "b"),
              u"a\uFFFD"
              u"b");
}

TEST(CleanPhoneText, CutsAtNulAndRepairsInvalidUtf8) {
    EXPECT_EQ(dd::cleanPhoneText(std::string("abc\0def", 7)), "abc");
    EXPECT_EQ(dd::cleanPhoneText("ok\xc3"), "ok\xef\xbf\xbd");
    EXPECT_EQ(dd::cleanPhoneText("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(dd::cleanPhoneText("\xe6\x89\x8b"), "\xe6\x89\x8b");
}

}  // namespace
