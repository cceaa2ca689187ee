#include "brew/brew_frame.h"

namespace dd::brew {

namespace {
constexpr char kHeader[3] = {static_cast<char>(0xFD), 0x00, static_cast<char>(0xFF)};
constexpr char kEscape = 0x7D;
constexpr char kFlag = 0x7E;
}  // namespace

std::string escapeBody(std::string_view payload) {
    std::string out;
    out.reserve(payload.size() + payload.size() / 16 + 2);
    for (char c : payload) {
        if (c == kEscape || c == kFlag) {
            out += kEscape;
            out += static_cast<char>(static_cast<uint8_t>(c) & 0xDF);
        } else {
            out += c;
        }
    }
    return out;
}

std::string buildFrame(std::string_view payload) {
    std::string frame(kHeader, sizeof(kHeader));
    frame += escapeBody(payload);
    frame += '\0';
    frame += '\0';
    frame += kFlag;
    return frame;
}

bool frameComplete(std::string_view received) {
    return received.find(kFlag) != std::string_view::npos;
}

bool unwrapReply(std::string_view received, std::string& payload) {
    payload.clear();
    size_t end = received.find(kFlag);
    if (end == std::string_view::npos) {
        return false;
    }
    std::string_view frame = received.substr(0, end + 1);
    if (frame.size() < kMinReplyBytes ||
        frame.substr(0, sizeof(kHeader)) != std::string_view(kHeader, sizeof(kHeader))) {
        return false;
    }
    std::string_view body =
        frame.substr(kReplyPayloadOffset, frame.size() - kReplyPayloadOffset - 3);
    payload.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] != kEscape) {
            payload += body[i];
        } else if (i + 1 < body.size()) {
            payload += static_cast<char>((static_cast<uint8_t>(body[++i]) & 0x0F) | 0x70);
        }
    }
    return true;
}

bool isBusyReply(std::string_view payload) {
    return payload.substr(0, kBusyReply.size()) == kBusyReply;
}

}  // namespace dd::brew
