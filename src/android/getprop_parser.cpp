#include "android/getprop_parser.h"

#include <charconv>

#include "base/text_codec.h"

namespace dd::android {
namespace {

constexpr std::string_view kSdk = "ro.build.version.sdk";
constexpr std::string_view kModel = "ro.product.model";
constexpr std::string_view kRelease = "ro.build.version.release";
constexpr std::string_view kBrand = "ro.product.brand";
constexpr std::string_view kBootCompleted = "[sys.boot_completed]:";
constexpr std::string_view kVela = "[ro.build.vela.version]:";
constexpr std::string_view kProductVersion = "[ro.product.version]";
constexpr std::string_view kProductVersionKey = "[ro.product.version]:";

// The value of "[key]: [value]" cut by position: it starts (key length + 5)
// into the line and is (line length - key length - 6) long. A line that is
// not of that form for this very key (shorter than the cut, no brackets, or
// a longer key that merely contains this one, such as
// ro.build.version.release_or_codename) yields nothing.
bool cutValue(std::string_view line, std::string_view key, std::string_view& value) {
    if (line.size() < key.size() + 6 || line[0] != '[' || line.compare(1, key.size(), key) != 0 ||
        line.compare(key.size() + 1, 4, "]: [") != 0 || line.back() != ']') {
        return false;
    }
    value = line.substr(key.size() + 5, line.size() - key.size() - 6);
    return true;
}

// The text after marker, between its first '[' and the following ']'.
bool bracketedAfter(std::string_view line, std::string_view marker, std::string_view& value) {
    size_t at = line.find(marker);
    if (at == std::string_view::npos) {
        return false;
    }
    std::string_view rest = line.substr(at + marker.size());
    size_t open = rest.find('[');
    if (open == std::string_view::npos) {
        return false;
    }
    size_t close = rest.find(']', open + 1);
    if (close == std::string_view::npos) {
        return false;
    }
    value = rest.substr(open + 1, close - open - 1);
    return true;
}

double toDouble(std::string_view text) {
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);  // stops at the first non-digit
    return value;
}

int32_t toInt(std::string_view text) {
    int32_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

bool contains(std::string_view line, std::string_view key) {
    return line.find(key) != std::string_view::npos;
}

}  // namespace

std::vector<std::string_view> splitPropertyLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > pos) {
            lines.push_back(text.substr(pos, end - pos));
        }
        pos = end + 2;
    }
    return lines;
}

size_t utf16Length(std::string_view utf8) {
    // Measured after the conversion the module makes of adb's text, so
    // malformed bytes count as the one replacement unit each becomes.
    return dd::utf8ToUtf16(utf8).size();
}

uint32_t parseKernelInfo(std::string_view text, KernelInfo& info, int32_t& bootCompleted) {
    uint32_t found = 0;
    for (std::string_view line : splitPropertyLines(text)) {
        if (found == kFoundAll) {
            break;
        }
        std::string_view value;
        // The first key the line holds decides, as in the order below.
        if (contains(line, kSdk)) {
            if (cutValue(line, kSdk, value)) {
                info.sdk = toInt(value);
                found |= kFoundSdk;
            }
        } else if (contains(line, kModel)) {
            if (cutValue(line, kModel, value)) {
                info.model = std::string(value);
                found |= kFoundModel;
            }
        } else if (contains(line, kRelease)) {
            if (cutValue(line, kRelease, value)) {
                info.androidVersion = toDouble(value.substr(0, 3));
                found |= kFoundRelease;
            }
        } else if (contains(line, kBrand)) {
            if (cutValue(line, kBrand, value)) {
                info.brand = std::string(value);
                found |= kFoundBrand;
            }
        } else if (contains(line, kBootCompleted)) {
            bootCompleted = 1;
            found |= kFoundBootCompleted;
        } else if (contains(line, kVela)) {
            if (bracketedAfter(line, kVela, value)) {
                info.velaVersion = toDouble(value);
            }
        } else if (contains(line, kProductVersion)) {
            if (bracketedAfter(line, kProductVersionKey, value)) {
                info.productVersion = std::string(value);
            }
        }
    }
    return found;
}

std::string_view findBootCompletedLine(std::string_view text) {
    for (std::string_view line : splitPropertyLines(text)) {
        if (contains(line, kBootCompleted)) {
            return line;
        }
    }
    return {};
}

}  // namespace dd::android
