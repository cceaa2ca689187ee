// The byte framing of the BREW phones' serial protocol, as pure functions.
//
// On the wire (both directions): header FD 00 FF, the escaped body, trailer
// 00 00 7E. In the body every 7D and 7E byte travels as 7D followed by the
// byte AND DF (7D 5D, 7D 5E), so the only 7E of a frame is its last byte.
// The phone's replies carry two more bytes after the header, so their
// payload starts at offset 5; the two bytes before 7E are not checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dd::brew {

inline constexpr std::string_view kEndTag = "<EndTag0x0d0c0f>";
inline constexpr std::string_view kBusyReply = "PhoneIsBusy<EndTag0x0d0c0f>";
inline constexpr size_t kMinReplyBytes = 8;
inline constexpr size_t kReplyPayloadOffset = 5;

// Header, escaped payload, trailer.
std::string buildFrame(std::string_view payload);
// Escapes 7D and 7E as the body of a frame carries them.
std::string escapeBody(std::string_view payload);

// True once the received bytes hold a whole frame (a 7E byte).
bool frameComplete(std::string_view received);

// Unwraps a reply: the bytes up to and including the first 7E must be at
// least 8 long and begin with the header; the payload runs from offset 5 to
// the three trailer bytes, with 7D b read back as (b AND 0F) OR 70. A 7D
// with nothing after it is dropped. False (payload cleared) when the reply
// is not accepted.
bool unwrapReply(std::string_view received, std::string& payload);

// The phone answered that it is busy and the request must be repeated.
bool isBusyReply(std::string_view payload);

}  // namespace dd::brew
