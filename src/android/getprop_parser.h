// Reading a phone's getprop list: pure functions from the text adb printed to
// values. Lines are "[key]: [value]" separated by "\r\n"; the text comes from
// the phone and is never trusted: every cut is checked against the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the property read yields; fields not found keep these values.
struct KernelInfo {
    double androidVersion = 0;   // ro.build.version.release, first three characters
    int32_t sdk = 0;             // ro.build.version.sdk
    std::string model;           // ro.product.model
    std::string brand;           // ro.product.brand
    double velaVersion = 0;      // ro.build.vela.version
    std::string productVersion;  // ro.product.version
};

namespace dd::android {

// Bits of the found-mask; parsing stops once all five are set.
enum GetpropFound : uint32_t {
    kFoundSdk = 1,
    kFoundModel = 2,
    kFoundRelease = 4,
    kFoundBrand = 8,
    kFoundBootCompleted = 16,
    kFoundAll = 31,
};

// The non-empty lines of text, split at "\r\n".
std::vector<std::string_view> splitPropertyLines(std::string_view text);

// Length of text in UTF-16 units, the measure of "characters" of getprop
// output (the list counts as read above 1000).
size_t utf16Length(std::string_view utf8);

// Fills info from a getprop list and sets bootCompleted to 1 when the list
// holds sys.boot_completed. Returns the found-mask.
uint32_t parseKernelInfo(std::string_view text, KernelInfo& info, int32_t& bootCompleted);

// The first line holding "[sys.boot_completed]:", or empty when none.
std::string_view findBootCompletedLine(std::string_view text);

}  // namespace dd::android
