#include "wifi_datagram.h"

#include <json/json.h>

#include <array>
#include <memory>

namespace qxwifi {

namespace {

struct EventWord {
    const char* word;
    AnnouncementEvent event;
};

constexpr std::array<EventWord, 4> kEvents{{
    {"connect", AnnouncementEvent::Connect},
    {"disconnect", AnnouncementEvent::Disconnect},
    {"startsync", AnnouncementEvent::StartSync},
    {"stopsync", AnnouncementEvent::StopSync},
}};

bool fail(std::string* why, const char* reason) {
    if (why != nullptr) {
        *why = reason;
    }
    return false;
}

// Copies an optional text member into its field. A missing member leaves
// the field empty; anything but a string that fits is a malformed datagram.
template <size_t N>
bool takeText(const Json::Value& root, const char* name, char (&field)[N], std::string* why) {
    field[0] = '\0';
    const Json::Value* value = root.find(name, name + std::char_traits<char>::length(name));
    if (value == nullptr || value->isNull()) {
        return true;
    }
    if (!value->isString()) {
        return fail(why, "a text member of another type");
    }
    const char* begin = nullptr;
    const char* end = nullptr;
    value->getString(&begin, &end);
    if (!setField(field, std::string_view(begin, static_cast<size_t>(end - begin)))) {
        return fail(why, "a text member too long for its field or holding a NUL");
    }
    return true;
}

}  // namespace

const char* eventName(AnnouncementEvent event) {
    for (const EventWord& entry : kEvents) {
        if (entry.event == event) {
            return entry.word;
        }
    }
    return "unknown";
}

std::optional<Announcement> parseAnnouncement(std::string_view datagram, std::string* why) {
    if (datagram.size() > kMaxDatagramBytes) {
        fail(why, "datagram too long");
        return std::nullopt;
    }
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["allowSpecialFloats"] = false;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    builder["stackLimit"] = 16;
    Json::Value root;
    try {
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        if (!reader->parse(datagram.data(), datagram.data() + datagram.size(), &root, &errors)) {
            fail(why, "not JSON");
            return std::nullopt;
        }
    } catch (const std::exception&) {
        // jsoncpp throws when the nesting limit is passed.
        fail(why, "not JSON");
        return std::nullopt;
    }
    if (!root.isObject()) {
        fail(why, "not a JSON object");
        return std::nullopt;
    }
    Announcement result;
    const Json::Value& event = root["event"];
    if (!event.isString()) {
        fail(why, "no event");
        return std::nullopt;
    }
    bool known = false;
    for (const EventWord& entry : kEvents) {
        if (event.asString() == entry.word) {
            result.event = entry.event;
            known = true;
        }
    }
    if (!known) {
        fail(why, "unknown event");
        return std::nullopt;
    }
    WifiDevRecord& record = result.record;
    if (!takeText(root, "imei", record.imei, why) ||
        !takeText(root, "serial", record.serial, why) ||
        !takeText(root, "model", record.model, why) ||
        !takeText(root, "brand", record.brand, why) ||
        !takeText(root, "version", record.version, why) ||
        !takeText(root, "sdk", record.sdk, why) || !takeText(root, "port", record.port, why) ||
        !takeText(root, "paired", record.paired, why) || !takeText(root, "pid", record.pid, why)) {
        return std::nullopt;
    }
    if (record.imei[0] == '\0') {
        fail(why, "no IMEI");
        return std::nullopt;
    }
    const Json::Value& autolaunch = root["autolaunch"];
    if (autolaunch.isBool()) {
        record.autolaunch = autolaunch.asBool() ? 1 : 0;
    } else if (autolaunch.isInt()) {
        record.autolaunch = autolaunch.asInt() != 0 ? 1 : 0;
    } else if (!autolaunch.isNull()) {
        fail(why, "autolaunch of another type");
        return std::nullopt;
    }
    return result;
}

std::string formatAnnouncement(AnnouncementEvent event, const AnnouncementFields& fields) {
    Json::Value root(Json::objectValue);
    root["event"] = eventName(event);
    root["imei"] = fields.imei;
    auto optional = [&](const char* name, const std::string& value) {
        if (!value.empty()) {
            root[name] = value;
        }
    };
    optional("serial", fields.serial);
    optional("model", fields.model);
    optional("brand", fields.brand);
    optional("version", fields.version);
    optional("sdk", fields.sdk);
    optional("port", fields.port);
    optional("paired", fields.paired);
    optional("pid", fields.pid);
    root["autolaunch"] = fields.autolaunch;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, root);
}

}  // namespace qxwifi
