// The codecs of the companion service's encrypted replies: its "/info/" body
// is Base64 text of AES-ECB-encrypted JSON under a key fixed in both
// programs. Also the UTF-8 conversions of text that goes into requests and
// comes out of JSON.
#pragma once

#include <string>
#include <string_view>

namespace dd {

// The key the companion service encrypts its information replies with.
inline constexpr std::string_view kInfoCipherKey = "wqbelsorn_R8%~;+";

// Decodes standard Base64. Characters outside the alphabet ("=" padding,
// line breaks, blanks, anything else) are skipped; every four valid
// characters give three bytes, a final two or three give one or two bytes,
// a single left-over character gives nothing. Never fails: text that is not
// Base64 decodes to fewer or no bytes.
std::string Base64Decode(std::string_view text);

// Decrypts data with AES in ECB mode, no padding removed. The key selects
// AES-128, -192 or -256 by its length (16, 24 or 32 bytes); any other
// length is refused and gives an empty result. The result has exactly the
// input's length: a trailing partial block is decrypted from a zero-filled
// copy and cut back to the bytes that were there.
std::string AesDecryptEcb(std::string_view key, std::string_view data);

// UTF-16 to UTF-8 and back. Malformed input (unpaired surrogates, invalid
// UTF-8) becomes U+FFFD rather than failing.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// Text taken from a phone's JSON: cut at the first NUL (fields are C text
// further on) and made valid UTF-8, each malformed sequence replaced by
// U+FFFD, as a round trip through UTF-16 would do.
std::string cleanPhoneText(std::string_view text);

}  // namespace dd
