#include "android/port_forward.h"

#include <charconv>
#include <cstdio>

#include "android/device_controller_bridge.h"
#include "log/log_stream.h"

namespace dd::android {
namespace {

std::string_view trimmed(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) {
        return {};
    }
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Calls onLine for every line (CR LF or LF), trimmed; stops when it returns false.
template <typename OnLine>
void forEachLine(std::string_view text, OnLine onLine) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!onLine(trimmed(line)) || end == std::string_view::npos) {
            return;
        }
        text.remove_prefix(end + 1);
    }
}

std::string adbText(const std::string& serial, const char* format, uint16_t a, uint16_t b) {
    char args[64];
    std::snprintf(args, sizeof(args), format, a, b);
    return "-s " + serial + " " + args;
}

}  // namespace

ForwardReply parseForwardReply(std::string_view output) {
    ForwardReply reply;
    bool first = true;
    bool failed = false;
    forEachLine(output, [&](std::string_view line) {
        if (startsWith(line, "error:") || startsWith(line, "adb: error:")) {
            failed = true;
            reply.error = std::string(line.substr(0, kForwardErrorBytes));
            return false;
        }
        if (first && !line.empty()) {
            first = false;
            unsigned value = 0;
            auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
            if (ec != std::errc() || end != line.data() + line.size() || value == 0 ||
                value > 65535) {
                failed = true;
                reply.error = "unexpected output: " + std::string(line.substr(0, 64));
                return false;
            }
            reply.port = static_cast<uint16_t>(value);
        }
        return true;
    });
    reply.ok = !failed;
    if (failed) {
        reply.port = 0;
    }
    return reply;
}

bool forwardListHas(std::string_view listOutput, std::string_view serial, uint16_t local,
                    uint16_t remote) {
    std::string wanted =
        std::string(serial) + " tcp:" + std::to_string(local) + " tcp:" + std::to_string(remote);
    bool found = false;
    forEachLine(listOutput, [&](std::string_view line) {
        found = line == wanted;
        return !found;
    });
    return found;
}

uint16_t forwardLocalPort(const std::string& serial, uint16_t current, uint16_t remote) {
    std::string output;
    if (current != 0) {
        // The usual case on a re-forward: the forward is still there.
        if (RunAdbCmd("-s " + serial + " forward --list", output, kAdbTimeLimitMs) == 0 &&
            forwardListHas(output, serial, current, remote)) {
            return current;
        }
        output.clear();
        if (RunAdbCmd(adbText(serial, "forward --no-rebind tcp:%u tcp:%u", current, remote), output,
                      kAdbTimeLimitMs) == 0 &&
            parseForwardReply(output).ok) {
            return current;
        }
        DD_LOG(LOG_INFO) << "local port " << current << " no longer leads to " << serial << " port "
                         << remote << ", asking adb for another";
        output.clear();
    }
    int32_t ran =
        RunAdbCmd(adbText(serial, "forward tcp:%u tcp:%u", 0, remote), output, kAdbTimeLimitMs);
    ForwardReply reply = parseForwardReply(output);
    if (ran != 0 || !reply.ok || reply.port == 0) {
        DD_LOG(LOG_ERR) << "FAILED: forward to " << serial << " port " << remote << ": "
                        << (ran != 0   ? std::string("adb did not run")
                            : reply.ok ? std::string("no port printed")
                                       : reply.error);
        return 0;
    }
    return reply.port;
}

}  // namespace dd::android
