#include "wifi_datagram.h"

#include <array>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

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

using Json = nlohmann::json;

// Nesting deeper than a datagram ever needs (the root is at depth 0).
constexpr size_t kMaxDepth = 16;

// A first look at the datagram's structure: refuses a member name repeated
// in one object and values nested kMaxDepth deep, before anything is built.
class StructureCheck {
  public:
    bool null() { return value(); }
    bool boolean(bool) { return value(); }
    bool number_integer(Json::number_integer_t) { return value(); }
    bool number_unsigned(Json::number_unsigned_t) { return value(); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return value(); }
    bool string(Json::string_t&) { return value(); }
    bool binary(Json::binary_t&) { return value(); }
    bool start_object(std::size_t) { return open(true); }
    bool key(Json::string_t& name) { return m_keys.back().insert(name).second; }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(false); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

  private:
    bool value() const { return m_depth < kMaxDepth; }
    bool open(bool object) {
        if (!value()) {
            return false;
        }
        ++m_depth;
        if (object) {
            m_keys.emplace_back();
        }
        m_objects.push_back(object);
        return true;
    }
    bool close() {
        --m_depth;
        if (m_objects.back()) {
            m_keys.pop_back();
        }
        m_objects.pop_back();
        return true;
    }

    size_t m_depth = 0;
    std::vector<bool> m_objects;
    std::vector<std::set<std::string>> m_keys;
};

// A whole number within the 32-bit range, also when written as a real one.
bool isInt(const Json& value) {
    constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    if (value.is_number_unsigned()) {
        return value.get<uint64_t>() <= static_cast<uint64_t>(kMax);
    }
    if (value.is_number_integer()) {
        return value.get<int64_t>() >= kMin && value.get<int64_t>() <= kMax;
    }
    if (value.is_number_float()) {
        double real = value.get<double>();
        return real >= static_cast<double>(kMin) && real <= static_cast<double>(kMax) &&
               std::trunc(real) == real;
    }
    return false;
}

bool fail(std::string* why, const char* reason) {
    if (why != nullptr) {
        *why = reason;
    }
    return false;
}

// Copies an optional text member into its field. A missing member leaves
// the field empty; anything but a string that fits is a malformed datagram.
template <size_t N>
bool takeText(const Json& root, const char* name, char (&field)[N], std::string* why) {
    field[0] = '\0';
    auto value = root.find(name);
    if (value == root.end() || value->is_null()) {
        return true;
    }
    if (!value->is_string()) {
        return fail(why, "a text member of another type");
    }
    if (!setField(field, value->get_ref<const std::string&>())) {
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
    // One JSON value and nothing after it but blanks and comments; strings
    // must be UTF-8. Nothing here throws: errors come back as results.
    Json root;
    StructureCheck check;
    if (!Json::sax_parse(datagram, &check, Json::input_format_t::json, true, true) ||
        (root = Json::parse(datagram, nullptr, false, true)).is_discarded()) {
        fail(why, "not JSON");
        return std::nullopt;
    }
    if (!root.is_object()) {
        fail(why, "not a JSON object");
        return std::nullopt;
    }
    Announcement result;
    auto event = root.find("event");
    if (event == root.end() || !event->is_string()) {
        fail(why, "no event");
        return std::nullopt;
    }
    bool known = false;
    for (const EventWord& entry : kEvents) {
        if (event->get_ref<const std::string&>() == entry.word) {
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
    Json autolaunch = root.contains("autolaunch") ? root["autolaunch"] : Json();
    if (autolaunch.is_boolean()) {
        record.autolaunch = autolaunch.get<bool>() ? 1 : 0;
    } else if (isInt(autolaunch)) {
        record.autolaunch = autolaunch.get<double>() != 0 ? 1 : 0;
    } else if (!autolaunch.is_null()) {
        fail(why, "autolaunch of another type");
        return std::nullopt;
    }
    return result;
}

std::string formatAnnouncement(AnnouncementEvent event, const AnnouncementFields& fields) {
    Json root = Json::object();
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
    // Compact, members in name order, everything past ASCII as "\u" escapes.
    return root.dump(-1, ' ', true, Json::error_handler_t::replace);
}

}  // namespace qxwifi
