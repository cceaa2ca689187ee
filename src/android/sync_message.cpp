#include "android/sync_message.h"

namespace dd::android {
namespace {

constexpr std::string_view kStartKey = ";START";
constexpr std::string_view kStopKey = ";STOP";
constexpr std::string_view kStopAppKey = "STOP_APP";

constexpr std::string_view kSyncStarted = "SYNC_STARTED\r\n";
constexpr std::string_view kReadyToSync = "READY_TO_SYNC\r\n";

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

}  // namespace

SyncRequest parseSyncMessage(std::string_view received) {
    SyncRequest request;
    size_t found = received.find(';');
    if (found == std::string_view::npos) {
        found = received.find(kStopAppKey);
    }
    if (found == std::string_view::npos) {
        return request;  // Ignored
    }
    request.text = std::string(received.substr(0, found < kSyncTextBytes ? found : kSyncTextBytes));
    if (contains(received, kStartKey)) {
        request.kind = SyncRequestKind::Start;
    } else if (contains(received, kStopKey)) {
        request.kind = SyncRequestKind::Stop;
    } else if (contains(received, kStopAppKey)) {
        request.kind = SyncRequestKind::StopApp;
    } else {
        request.kind = SyncRequestKind::Undefined;
    }
    return request;
}

int32_t syncActionOf(SyncRequestKind kind) {
    switch (kind) {
        case SyncRequestKind::Start:
            return 0;
        case SyncRequestKind::Stop:
            return 1;
        default:
            return -1;
    }
}

std::string hostTextOf(const SyncRequest& request) {
    return request.text.substr(0, request.text.find('\0'));
}

StatusLine statusLineFor(int32_t status, int32_t lastSent) {
    StatusLine line;
    if (status == lastSent) {
        return line;
    }
    switch (status) {
        case 0:
            line = {true, kSyncStarted, "send start sync", 0};
            break;
        case 1:
            line = {true, kReadyToSync, "send stop sync", 1};
            break;
        case 2:
            line = {true, kReadyToSync, "send ready sync", 2};
            break;
        default:
            break;
    }
    return line;
}

std::string printableBytes(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0f];
        }
    }
    return out;
}

}  // namespace dd::android
