// A datagram as the finder receives it: whatever the bytes, the parser
// either refuses them with a reason or yields a record whose every text
// field ends in a NUL within its room, with an IMEI, no address, and an
// event of the four known ones; formatting that record reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wifi_datagram.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

template <size_t N>
bool terminated(const char (&field)[N]) {
    return std::memchr(field, '\0', N) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string why;
    auto parsed = qxwifi::parseAnnouncement(bytes, &why);
    if (!parsed) {
        require(!why.empty());
        return 0;
    }
    const WifiDevRecord& r = parsed->record;
    require(terminated(r.imei) && terminated(r.model) && terminated(r.version) &&
            terminated(r.sdk) && terminated(r.brand) && terminated(r.port) &&
            terminated(r.paired) && terminated(r.pid) && terminated(r.serial));
    require(r.imei[0] != '\0' && r.ip[0] == '\0');
    require(r.autolaunch == 0 || r.autolaunch == 1);
    int32_t event = static_cast<int32_t>(parsed->event);
    require(event >= WIFI_CONNECT && event <= WIFI_STOP_SYNC);

    qxwifi::AnnouncementFields fields;
    fields.imei = qxwifi::fieldText(r.imei);
    fields.serial = qxwifi::fieldText(r.serial);
    fields.model = qxwifi::fieldText(r.model);
    fields.brand = qxwifi::fieldText(r.brand);
    fields.version = qxwifi::fieldText(r.version);
    fields.sdk = qxwifi::fieldText(r.sdk);
    fields.port = qxwifi::fieldText(r.port);
    fields.paired = qxwifi::fieldText(r.paired);
    fields.pid = qxwifi::fieldText(r.pid);
    fields.autolaunch = r.autolaunch;
    std::string again = qxwifi::formatAnnouncement(parsed->event, fields);
    // The writer re-encodes bytes that are not UTF-8; plain ASCII must read
    // back unchanged.
    bool ascii = true;
    for (const std::string* text :
         {&fields.imei, &fields.serial, &fields.model, &fields.brand, &fields.version, &fields.sdk,
          &fields.port, &fields.paired, &fields.pid}) {
        for (unsigned char c : *text) {
            ascii = ascii && c < 0x80;
        }
    }
    if (ascii && again.size() <= qxwifi::kMaxDatagramBytes) {
        auto reread = qxwifi::parseAnnouncement(again);
        require(reread && std::memcmp(&reread->record, &r, sizeof(r)) == 0);
    }
    return 0;
}
