// How text that came from a phone or the network is made safe for one log
// line. Header-only, so that the module and the Wi-Fi finder library write
// phone text into the log by the same rule without sharing a library.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace dd {

// Whether bytes from 0x80 up are written as "\xNN" too. A writer that widens
// bytes one by one instead of decoding UTF-8 would otherwise turn them into
// C1 control characters, which terminals act on.
enum class NonAscii { Keep, Escape };

// A byte that would break a line in two or reach a terminal as a control.
inline bool isLogControlByte(unsigned char byte, NonAscii nonAscii = NonAscii::Keep) {
    return byte < 0x20 || byte == 0x7F || (nonAscii == NonAscii::Escape && byte >= 0x80);
}

// text with every control byte written as "\xNN" (lower-case hex): a phone
// can neither forge a line of its own nor send terminal escapes to whoever
// reads the log.
inline std::string escapeLogText(std::string_view text, NonAscii nonAscii = NonAscii::Keep) {
    auto isControl = [&](char c) {
        return isLogControlByte(static_cast<unsigned char>(c), nonAscii);
    };
    if (std::none_of(text.begin(), text.end(), isControl)) {
        return std::string(text);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size() + 16);
    for (char c : text) {
        if (isControl(c)) {
            auto byte = static_cast<unsigned char>(c);
            escaped += "\\x";
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0x0F];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace dd
