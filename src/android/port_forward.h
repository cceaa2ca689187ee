// Local ports forwarded to a phone through adb. The adb server chooses each
// local port itself ("forward tcp:0 tcp:N" prints the port it bound): a port
// picked by this process and handed to adb later could be given to another
// phone in between, and the server would then move the forward to that phone.
// A port that is already ours is forwarded again with --no-rebind, so one
// phone can never take another's port; when that fails the server chooses a
// fresh one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dd::android {

// What one "forward" command printed.
struct ForwardReply {
    bool ok = false;    // the server made (or kept) the forward
    uint16_t port = 0;  // the port it printed (forwards of tcp:0), else 0
    std::string error;  // the error line when !ok, at most kForwardErrorBytes
};
constexpr size_t kForwardErrorBytes = 200;

// Reads adb's forward output: a line that begins with "error:" or
// "adb: error:" is a failure (older clients print the first, current ones
// the second); a first line of digits is the bound port (1..65535); no
// output at all is a success without a port. Anything else is a failure.
ForwardReply parseForwardReply(std::string_view output);

// True when "forward --list" output holds the line "SERIAL tcp:LOCAL tcp:REMOTE".
bool forwardListHas(std::string_view listOutput, std::string_view serial, uint16_t local,
                    uint16_t remote);

// Makes sure a local port leads to the phone's port remote and returns it.
// current 0: the server chooses the port. current set: kept when the server
// still lists that forward for this phone or lets it be made again without
// rebinding; else the server chooses a new one. 0 when no forward could be
// made (one log line says why). Runs adb through the DeviceController
// bridge; serial must be a checked adb serial.
uint16_t forwardLocalPort(const std::string& serial, uint16_t current, uint16_t remote);

}  // namespace dd::android
