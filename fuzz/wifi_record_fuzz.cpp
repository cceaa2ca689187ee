// A finder's 744-byte record, filled with anything (fields without their NUL,
// bytes that are not text): the copy reads every field within its room, and
// what it lets through as keys is plain text only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "wifi/wifi_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WifiDevRecord record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(&record, data, size < sizeof(record) ? size : sizeof(record));
    std::string why;
    std::optional<WifiPhoneRecord> copy = WifiPhoneRecord::fromFinder(record, &why);
    if (copy) {
        if (!isPlainKeyText(copy->imei) ||
            (!copy->serial.empty() && !isPlainKeyText(copy->serial))) {
            std::abort();
        }
        copy->setServicePort();
        if (copy->servicePort() != 8183) {
            std::abort();
        }
        copy->productId();
    }
    return 0;
}
