// Reading KernelInfo from getprop text as phones print it.
#include "android/getprop_parser.h"

#include <gtest/gtest.h>

namespace {

using dd::android::parseKernelInfo;

const std::string kPixelList =
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

struct Parsed {
    KernelInfo info;
    int32_t boot = 0;
    uint32_t found = 0;
    explicit Parsed(std::string_view text, KernelInfo start = {}) : info(std::move(start)) {
        found = parseKernelInfo(text, info, boot);
    }
};

TEST(GetpropParser, ReadsEveryFieldOfARealListOnlyOnce) {
    // Longer keys holding a key ("_or_codename", "_for_attestation") do not
    // overwrite it, and a key after all five were found is not read.
    Parsed p(kPixelList + "[ro.product.model]: [late]\r\n");
    EXPECT_EQ(p.found, 31u);
    EXPECT_EQ(p.info.sdk, 19);
    EXPECT_EQ(p.info.model, "Orq X1 Pro");
    EXPECT_EQ(p.info.brand, "Orq");
    EXPECT_DOUBLE_EQ(p.info.androidVersion, 4.4);
    EXPECT_DOUBLE_EQ(p.info.velaVersion, 4.5);
    EXPECT_EQ(p.info.productVersion, "V11.0.3.0");
    EXPECT_EQ(p.boot, 1);
}

TEST(GetpropParser, ReleaseTakesItsFirstThreeCharacters) {
    for (auto [release, expected] :
         {std::pair{"10", 10.0}, {"4.0.4", 4.0}, {"2.3.7", 2.3}, {"12", 12.0}, {"x.y", 0.0}}) {
        Parsed p(std::string("[ro.build.version.release]: [") + release + "]\r\n");
        EXPECT_DOUBLE_EQ(p.info.androidVersion, expected) << release;
    }
}

TEST(GetpropParser, BootCompletedFirstStillLetsLaterKeysIn) {
    Parsed p(
        "[sys.boot_completed]: [1]\r\n[ro.product.model]: [M]\r\n[ro.build.version.sdk]: [29]\r\n");
    EXPECT_EQ(p.found, 16u | 2u | 1u);
    EXPECT_EQ(p.info.model, "M");
    EXPECT_EQ(p.info.sdk, 29);
}

TEST(GetpropParser, BadLinesAndMissingValuesChangeNothing) {
    Parsed bad(
        "ro.product.model\r\n[ro.product.model]\r\n[ro.product.model]: "
        "\r\nro.build.version.sdk=29\r\n"
        "[ro.build.vela.version]: 4.5\r\n[ro.product.version]\r\n[ro.product.brand]: [B");
    EXPECT_EQ(bad.found, 0u);
    EXPECT_EQ(bad.info.model, "");
    EXPECT_EQ(bad.info.sdk, 0);
    EXPECT_DOUBLE_EQ(bad.info.velaVersion, 0);
    EXPECT_EQ(bad.info.brand, "");
    EXPECT_EQ(bad.boot, 0);

    KernelInfo before;
    before.model = "before";
    Parsed sdkOnly("[ro.build.version.sdk]: [10]\r\n\r\n\r\n", before);
    EXPECT_EQ(sdkOnly.info.sdk, 10);
    EXPECT_EQ(sdkOnly.info.model, "before");
    EXPECT_EQ(Parsed("[ro.build.version.sdk]: []\r\n").info.sdk, 0);
}

TEST(GetpropParser, FindsTheBootCompletedLine) {
    EXPECT_EQ(dd::android::findBootCompletedLine(kPixelList), "[sys.boot_completed]: [1]");
    EXPECT_EQ(dd::android::findBootCompletedLine("[sys.boot_completed]\r\nerror: closed\n"), "");
}

TEST(GetpropParser, LengthIsCountedInUtf16Units) {
    using dd::android::utf16Length;
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("\xc3\xa9t\xc3\xa9"), 3u);  // été
    EXPECT_EQ(utf16Length("\xf0\x9f\x93\xb1"), 2u);   // one emoji, a surrogate pair
    EXPECT_EQ(utf16Length("\xff\xf0"), 2u);           // malformed bytes: one unit each
}

}  // namespace
