#include "events.h"

#include <cstdio>

#include "android/adb_device_list.h"
#include "base/utf8_encode.h"
#include "platform/local_time.h"

namespace {

template <size_t N>
std::string text(const char16_t (&field)[N]) {
    return dd::utf16UnitsToUtf8(field, N);
}

std::string nowText() {
    dd::platform::LocalTime local = dd::platform::localTimeNow();
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%02d:%02d:%02d.%03d", local.hour, local.minute,
                  local.second, local.millisecond);
    return buffer;
}

std::string jsonString(const std::string& s) {  // see jsonText
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// What the phone's pairing marker said when it connected.
const char* pairingNote(uint32_t factoryreset) {
    switch (factoryreset) {
        case 0:
            return " [paired with this PC]";
        case 1:
            return " [new or factory reset: paired now]";
        case 2:
            return " [was paired with another PC: paired now]";
        default:
            return "";
    }
}

}  // namespace

const char* deviceChangeName(int32_t code) {
    switch (code) {
        case NEW_DEVICE:
            return "NEW_DEVICE";
        case REMOVE_DEVICE:
            return "REMOVE_DEVICE";
        case DRIVER_INSTALLING:
            return "DRIVER_INSTALLING";
        case DEVICE_DISCOVERED:
            return "DEVICE_DISCOVERED";
        default:
            return "UNKNOWN";
    }
}

HostEvent eventFromRecord(int32_t code, DeviceRecord* record) {
    HostEvent event;
    event.kind = HostEvent::Kind::DeviceChange;
    event.code = code;
    event.time = nowText();
    if (record == nullptr) {
        return event;
    }
    if (code == NEW_DEVICE) {
        event.record = record;
    }
    event.serialno = text(record->serialno);
    event.imei = text(record->imei);
    event.model = text(record->model);
    event.serverip = text(record->serverip);
    event.autolaunch = text(record->autolaunch);
    event.allowwifi = text(record->allowwifi);
    event.firmware = text(record->firmware);
    event.optname = text(record->optname);
    event.port = record->adbdeviceport;
    event.sdk = record->sdk;
    event.factoryreset = record->factoryreset;
    event.cardcount = record->cardcount;
    event.vid = record->vid;
    event.pid = record->pid;
    event.battery = record->battery;
    event.kernel = record->kernel;
    if (code == DRIVER_INSTALLING && event.firmware.rfind("adb:", 0) == 0) {
        // Only the states the module names pass, so no text of any length
        // or content reaches the view from here.
        std::string said = event.firmware.substr(4);
        dd::android::AdbState state = dd::android::adbStateFromName(said);
        std::string name = dd::android::adbStateName(state, said);
        if (state != dd::android::AdbState::kDevice && state != dd::android::AdbState::kUnknown &&
            name == said) {
            event.adbState = name;
        }
    }
    return event;
}

HostEvent eventFromSyncRequest(const char16_t* device, int32_t action) {
    HostEvent event;
    event.kind = HostEvent::Kind::SyncRequest;
    event.code = action;
    event.time = nowText();
    event.device = dd::utf16UnitsToUtf8(device, kMaxSyncTextUnits);
    return event;
}

HostEvent droppedEventsReport(const DroppedEvents& dropped, const DroppedEvents& total) {
    HostEvent event;
    event.kind = HostEvent::Kind::Dropped;
    event.time = nowText();
    event.dropped = dropped;
    event.droppedTotal = total;
    return event;
}

std::string adbWaitAdvice(const HostEvent& event) {
    if (event.adbState.empty()) {
        return "";
    }
    return dd::android::adbStateAdvice(dd::android::adbStateFromName(event.adbState));
}

bool isWifiPhone(const HostEvent& event) {
    return !event.serverip.empty() && event.serverip != "127.0.0.1";
}

std::string formatReadable(const HostEvent& shown) {
    HostEvent event = shown;
    for (std::string* field : {&event.serialno, &event.imei, &event.model, &event.serverip,
                               &event.allowwifi, &event.device}) {
        *field = printableText(*field);
    }
    char ids[32];
    std::snprintf(ids, sizeof(ids), "%04x:%04x", event.vid, event.pid);
    std::string line = event.time + "  ";
    if (event.kind == HostEvent::Kind::LoaderRequest) {
        return line + "LOADER REQUEST  " + event.device;
    }
    if (event.kind == HostEvent::Kind::SyncRequest) {
        return line + "SYNC REQUEST  " + (event.code == START_SYNC ? "start" : "stop") +
               " from \"" + event.device + "\"";
    }
    if (event.kind == HostEvent::Kind::Dropped) {
        return line + "DROPPED  " + std::to_string(event.dropped.total()) +
               " events the host could not keep up with: " +
               std::to_string(event.dropped.deviceChanges) + " device changes, " +
               std::to_string(event.dropped.syncRequests) + " sync requests, " +
               std::to_string(event.dropped.loaderRequests) + " loader requests (" +
               std::to_string(event.droppedTotal.total()) + " since the start)";
    }
    switch (event.code) {
        case DRIVER_INSTALLING:
            if (!event.adbState.empty()) {
                return line + "waiting for adb    " + event.serialno + " (" + ids + ") " +
                       event.adbState + ": " + adbWaitAdvice(event);
            }
            return line + "driver installing  " + event.serialno + " (" + ids + ")";
        case DEVICE_DISCOVERED:
            return line + "discovered         " + event.serialno + "  " + event.model + " (" + ids +
                   ")";
        case NEW_DEVICE: {
            char details[160];
            std::snprintf(details, sizeof(details),
                          " kernel %.2f sdk %u battery %u%% service %s:%u", event.kernel, event.sdk,
                          event.battery, event.serverip.c_str(), event.port);
            return line + (isWifiPhone(event) ? "ready (wifi)       " : "ready              ") +
                   event.serialno + "  " + event.model + " imei " + event.imei + " (" + ids + ")" +
                   details + " wifi " + event.allowwifi + pairingNote(event.factoryreset);
        }
        case REMOVE_DEVICE:
            return line + (isWifiPhone(event) ? "removed (wifi)     " : "removed            ") +
                   event.serialno + " (" + ids + ")";
        default:
            return line + "unknown notification " + std::to_string(event.code);
    }
}

std::string formatJson(const HostEvent& event) {
    if (event.kind == HostEvent::Kind::Dropped) {
        auto counts = [](const DroppedEvents& d) {
            return "{\"device_changes\":" + std::to_string(d.deviceChanges) +
                   ",\"sync_requests\":" + std::to_string(d.syncRequests) +
                   ",\"loader_requests\":" + std::to_string(d.loaderRequests) + "}";
        };
        return "{\"time\":" + jsonString(event.time) +
               ",\"event\":\"DROPPED\",\"dropped\":" + counts(event.dropped) +
               ",\"total\":" + counts(event.droppedTotal) + "}";
    }
    if (event.kind == HostEvent::Kind::LoaderRequest) {
        return "{\"time\":" + jsonString(event.time) +
               ",\"event\":\"LOADER_REQUEST\",\"target\":" + jsonString(event.device) + "}";
    }
    if (event.kind == HostEvent::Kind::SyncRequest) {
        return "{\"time\":" + jsonString(event.time) +
               ",\"event\":\"SYNC_REQUEST\",\"action\":" + std::to_string(event.code) +
               ",\"device\":" + jsonString(event.device) + "}";
    }
    char kernel[32];
    std::snprintf(kernel, sizeof(kernel), "%.4g", event.kernel);
    return "{\"time\":" + jsonString(event.time) + ",\"event\":\"" + deviceChangeName(event.code) +
           "\",\"code\":" + std::to_string(event.code) +
           ",\"serialno\":" + jsonString(event.serialno) + ",\"imei\":" + jsonString(event.imei) +
           ",\"model\":" + jsonString(event.model) + ",\"vid\":" + std::to_string(event.vid) +
           ",\"pid\":" + std::to_string(event.pid) + ",\"serverip\":" + jsonString(event.serverip) +
           ",\"adbdeviceport\":" + std::to_string(event.port) +
           ",\"link\":" + (isWifiPhone(event) ? "\"wifi\"" : "\"usb\"") +
           ",\"autolaunch\":" + jsonString(event.autolaunch) +
           ",\"allowwifi\":" + jsonString(event.allowwifi) + ",\"kernel\":" + kernel +
           ",\"sdk\":" + std::to_string(event.sdk) +
           ",\"battery\":" + std::to_string(event.battery) +
           ",\"factoryreset\":" + std::to_string(event.factoryreset) +
           ",\"cardcount\":" + std::to_string(event.cardcount) +
           (event.adbState.empty() ? std::string()
                                   : ",\"adbstate\":" + jsonString(event.adbState) +
                                         ",\"advice\":" + jsonString(adbWaitAdvice(event))) +
           "}";
}

std::string jsonText(const std::string& text) {
    return jsonString(text);
}

std::string formatHostMessage(const std::string& text, bool json) {
    return json ? "{\"event\":\"HOST\",\"message\":" + jsonString(text) + "}" : printableText(text);
}

std::string printableText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            out += '?';
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            out += '?';  // U+0080..U+009F: C1 controls, 8-bit CSI among them
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
