// Reading KernelInfo from getprop text as phones print it.
#include "android/getprop_parser.h"

#include <gtest/gtest.h>

namespace {

using dd::android::findBootCompletedLine;
using dd::android::parseKernelInfo;
using dd::android::utf16Length;

const char* kPixelList =
    "[dalvik.vm.heapsize]: [512m]\r\n"
    "[ro.build.vela.version]: [4.5]\r\n"
    "[ro.build.version.release]: [4.4.2]\r\n"
    "[ro.build.version.release_or_codename]: [11]\r\n"
    "[ro.build.version.sdk]: [19]\r\n"
    "[ro.product.brand]: [Orq]\r\n"
    "[ro.product.model]: [Orq X1 Pro]\r\n"
    "[ro.product.model_for_attestation]: [attest]\r\n"
    "[ro.product.version]: [V11.0.3.0]\r\n"
    "[sys.boot_completed]: [1]\r\n";

TEST(GetpropParser, ReadsEveryFieldOfARealList) {
    KernelInfo info;
    int32_t boot = 0;
    EXPECT_EQ(parseKernelInfo(kPixelList, info, boot), 31u);
    EXPECT_EQ(info.sdk, 19);
    EXPECT_EQ(info.model, "Orq X1 Pro");
    EXPECT_EQ(info.brand, "Orq");
    EXPECT_DOUBLE_EQ(info.androidVersion, 4.4);
    EXPECT_DOUBLE_EQ(info.velaVersion, 4.5);
    EXPECT_EQ(info.productVersion, "V11.0.3.0");
    EXPECT_EQ(boot, 1);
}

TEST(GetpropParser, ReleaseTakesItsFirstThreeCharacters) {
    for (auto [release, expected] :
         {std::pair{"10", 10.0}, {"4.0.4", 4.0}, {"2.3.7", 2.3}, {"12", 12.0}}) {
        KernelInfo info;
        int32_t boot = 0;
        parseKernelInfo(std::string("[ro.build.version.release]: [") + release + "]\r\n", info,
                        boot);
        EXPECT_DOUBLE_EQ(info.androidVersion, expected) << release;
    }
}

TEST(GetpropParser, BootCompletedFirstStillLetsLaterKeysIn) {
    KernelInfo info;
    int32_t boot = 0;
    uint32_t found = parseKernelInfo(
        "[sys.boot_completed]: [1]\r\n[ro.product.model]: [M]\r\n[ro.build.version.sdk]: [29]\r\n",
        info, boot);
    EXPECT_EQ(found, 16u | 2u | 1u);
    EXPECT_EQ(info.model, "M");
    EXPECT_EQ(info.sdk, 29);
}

TEST(GetpropParser, StopsOnceAllFiveAreFound) {
    KernelInfo info;
    int32_t boot = 0;
    std::string list = std::string(kPixelList) + "[ro.product.model]: [late]\r\n";
    parseKernelInfo(list, info, boot);
    EXPECT_EQ(info.model, "Orq X1 Pro");
}

TEST(GetpropParser, LongerKeysThatHoldAKeyDoNotOverwriteIt) {
    KernelInfo info;
    int32_t boot = 0;
    parseKernelInfo(kPixelList, info, boot);
    EXPECT_DOUBLE_EQ(info.androidVersion, 4.4);  // not "_or_codename"
    EXPECT_EQ(info.model, "Orq X1 Pro");         // not "attest"
}

TEST(GetpropParser, ShortOrBracketlessLinesAreSkippedSafely) {
    KernelInfo info;
    int32_t boot = 0;
    uint32_t found = parseKernelInfo(
        "ro.product.model\r\n[ro.product.model]\r\n[ro.product.model]: "
        "\r\nro.build.version.sdk=29\r\n"
        "[ro.build.vela.version]: 4.5\r\n[ro.product.version]\r\n[ro.product.brand]: [B",
        info, boot);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(info.model, "");
    EXPECT_EQ(info.sdk, 0);
    EXPECT_DOUBLE_EQ(info.velaVersion, 0);
    EXPECT_EQ(info.brand, "");
    EXPECT_EQ(boot, 0);
}

TEST(GetpropParser, MissingPropertiesKeepTheirValues) {
    KernelInfo info;
    info.model = "before";
    int32_t boot = 0;
    parseKernelInfo("[ro.build.version.sdk]: [10]\r\n\r\n\r\n", info, boot);
    EXPECT_EQ(info.sdk, 10);
    EXPECT_EQ(info.model, "before");
}

TEST(GetpropParser, EmptyValuesAndGarbageNumbersGiveZero) {
    KernelInfo info;
    int32_t boot = 0;
    parseKernelInfo("[ro.build.version.sdk]: []\r\n[ro.build.version.release]: [x.y]\r\n", info,
                    boot);
    EXPECT_EQ(info.sdk, 0);
    EXPECT_DOUBLE_EQ(info.androidVersion, 0);
}

TEST(GetpropParser, FindsTheBootCompletedLine) {
    EXPECT_EQ(findBootCompletedLine(kPixelList), "[sys.boot_completed]: [1]");
    EXPECT_EQ(findBootCompletedLine("[sys.boot_completed]\r\nerror: closed\n"), "");
}

TEST(GetpropParser, LengthIsCountedInUtf16Units) {
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("\xc3\xa9t\xc3\xa9"), 3u);  // été
    EXPECT_EQ(utf16Length("\xf0\x9f\x93\xb1"), 2u);   // one emoji, a surrogate pair
    EXPECT_EQ(utf16Length("\xff\xf0"), 2u);             // malformed bytes: one unit each
}

}  // namespace
