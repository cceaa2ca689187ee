// What the module told the host, copied out of the callback so that the main
// thread can show it after the callback has returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "devicedetect/DeviceDetect.h"

// Events the host's queue could not keep, by kind.
struct DroppedEvents {
    size_t deviceChanges = 0;
    size_t syncRequests = 0;
    size_t loaderRequests = 0;
    size_t total() const { return deviceChanges + syncRequests + loaderRequests; }
};

struct HostEvent {
    // Dropped: not from the module; how many events the queue dropped since
    // the last such report (dropped), and since the start (droppedTotal).
    enum class Kind { DeviceChange, SyncRequest, LoaderRequest, Dropped };
    Kind kind = Kind::DeviceChange;
    int32_t code = -1;               // device-change code or sync action
    DeviceRecord* record = nullptr;  // NEW_DEVICE only: valid until its REMOVE_DEVICE
    std::string serialno, imei, model, serverip, autolaunch, allowwifi, firmware, optname;
    uint32_t port = 0, sdk = 0, factoryreset = 0, cardcount = 0;
    uint16_t vid = 0, pid = 0, battery = 0;
    double kernel = 0;
    // DRIVER_INSTALLING of a phone waiting in adb: its state there
    // ("unauthorized", "offline", ...: the record's firmware "adb:STATE");
    // empty for a driver wait.
    std::string adbState;
    std::string device;  // sync request: the phone's device text; loader request: its target
    std::string time;    // local time the callback came in
    DroppedEvents dropped, droppedTotal;
};

// The longest sync-request text the host takes: the module sends at most 127
// bytes. A longer text is cut, which cannot make it equal a serial (a
// record's serial is far shorter).
inline constexpr size_t kMaxSyncTextUnits = 256;

HostEvent eventFromRecord(int32_t code, DeviceRecord* record);
// A phone's sync request as the sync callback hands it over: the device text
// (NUL-terminated UTF-16, read up to kMaxSyncTextUnits) and the action.
HostEvent eventFromSyncRequest(const char16_t* device, int32_t action);
// The report of events the queue dropped.
HostEvent droppedEventsReport(const DroppedEvents& dropped, const DroppedEvents& total);
// A phone reached over the network: its service is not behind a local
// forward on 127.0.0.1.
bool isWifiPhone(const HostEvent& event);
const char* deviceChangeName(int32_t code);
// What the user of a phone waiting in adb can do ("accept the USB debugging
// prompt on the phone"); empty when the event is no such wait.
std::string adbWaitAdvice(const HostEvent& event);
// One line for a person: phone-supplied text has its control characters
// (C0, DEL and C1, where terminal escape sequences live) replaced by '?'.
std::string formatReadable(const HostEvent& event);
// One JSON object: every text is escaped, so no phone can end the object
// early or add members of its own.
std::string formatJson(const HostEvent& event);
// A host message ("no ready phone with serial ..."), which may quote serials
// typed by the user or sent by phones: a JSON object, or a printable line.
std::string formatHostMessage(const std::string& text, bool json);
// A JSON string literal of UTF-8 text (quotes included).
std::string jsonText(const std::string& text);
// text with every control character replaced by '?'.
std::string printableText(const std::string& text);
