// Framing of adb's host protocol as the emulated server speaks it: every
// request is four hex digits of length and the request text; answers are
// "OKAY" or "FAIL" with a length-prefixed message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace phonesim::adbwire {

// Longest request the server accepts (the length field allows 0xffff).
constexpr size_t kMaxRequest = 0xffff;

// Four lower-case hex digits of n (n must fit in 16 bits).
std::string hex4(size_t n);
// Reads one length-prefixed request; false on EOF, a bad length or an error.
bool readRequest(int fd, std::string& request);
bool sendOkay(int fd);
bool sendFail(int fd, std::string_view message);
// "OKAY" followed by the length-prefixed payload (a host query's answer).
bool sendOkayPayload(int fd, std::string_view payload);
// The length-prefixed payload alone.
bool sendPayload(int fd, std::string_view payload);

// Little-endian 32-bit values of the sync protocol.
void putLe32(std::string& out, uint32_t value);
uint32_t getLe32(const unsigned char* bytes);

}  // namespace phonesim::adbwire
