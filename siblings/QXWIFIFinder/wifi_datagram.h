// The announcement a phone sends to the finder: one small JSON datagram per
// state change. Parsing and formatting are pure functions, so the simulator
// builds exactly what the finder reads and the parser can be fuzzed alone.
//
//   {"event":"connect","imei":"860000000000001","serial":"SIM0001",
//    "model":"Orq One","brand":"Orq","version":"10","sdk":"29","port":"8183",
//    "paired":"<pc identity>","pid":"2e76","autolaunch":1}
//
// "event" is "connect", "disconnect", "startsync" or "stopsync"; "imei" is
// required; every other member is optional text, except "autolaunch" (an
// integer or a boolean). The phone's address is never a member: the finder
// takes the datagram's source address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "devicedetect/QXWIFIFinder.h"

namespace qxwifi {

// A datagram longer than this is not an announcement.
constexpr size_t kMaxDatagramBytes = 2048;

enum class AnnouncementEvent : int32_t {
    Connect = WIFI_CONNECT,
    Disconnect = WIFI_DISCONNECT,
    StartSync = WIFI_START_SYNC,
    StopSync = WIFI_STOP_SYNC,
};

struct Announcement {
    AnnouncementEvent event = AnnouncementEvent::Connect;
    WifiDevRecord record{};  // every text field NUL-terminated; ip left empty
};

// The text of the fields a phone announces, for formatting.
struct AnnouncementFields {
    std::string imei, serial, model, brand, version, sdk, port, paired, pid;
    int32_t autolaunch = 0;
};

// Reads one datagram. nullopt when it is not a well-formed announcement:
// too long, not a JSON object, an unknown event, no IMEI, a member of the
// wrong type, a text with a NUL byte or longer than its field's room. why
// (optional) receives a short reason for the log.
std::optional<Announcement> parseAnnouncement(std::string_view datagram,
                                              std::string* why = nullptr);

// Builds the datagram for an event and the phone's fields.
std::string formatAnnouncement(AnnouncementEvent event, const AnnouncementFields& fields);

// The event's word in the datagram ("connect" ...).
const char* eventName(AnnouncementEvent event);

// A record's text field up to its NUL, never past its room.
template <size_t N>
std::string fieldText(const char (&field)[N]) {
    size_t length = 0;
    while (length < N && field[length] != '\0') {
        ++length;
    }
    return std::string(field, length);
}

// Writes text into a field that has room for it and its NUL; false (and an
// empty field) when it does not fit.
template <size_t N>
bool setField(char (&field)[N], std::string_view text) {
    if (text.size() >= N || text.find('\0') != std::string_view::npos) {
        field[0] = '\0';
        return false;
    }
    text.copy(field, text.size());
    field[text.size()] = '\0';
    return true;
}

}  // namespace qxwifi
