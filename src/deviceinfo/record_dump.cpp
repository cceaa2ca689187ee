#include "deviceinfo/record_dump.h"

#include <string>

#include "base/text_codec.h"
#include "log/log_stream.h"

namespace {

// A record with more cards than this came from somewhere else; do not walk it.
constexpr uint32_t kMaxDumpedCards = 16;

template <size_t N>
void dumpText(const char* label, const char16_t (&field)[N]) {
    size_t length = 0;
    while (length < N && field[length] != 0) {
        ++length;
    }
    // Only a non-empty field that is properly terminated inside its width.
    if (length == 0 || length >= N) {
        return;
    }
    DD_LOG(LOG_DEBUG) << label << dd::fieldToUtf8(field) << "]";
}

template <typename Number>
void dumpNumber(const char* label, Number value) {
    DD_LOG(LOG_DEBUG) << label << value << "]";
}

}  // namespace

void dumpDeviceRecord(const DeviceRecord* record) {
    if (record == nullptr || !isLogLevelOn(LOG_DEBUG)) {
        return;
    }
    dumpText("imei : [", record->imei);
    dumpText("model : [", record->model);
    dumpText("serverip : [", record->serverip);
    dumpText("serialno : [", record->serialno);
    dumpText("autolaunch : [", record->autolaunch);
    dumpText("allowwifi : [", record->allowwifi);
    dumpText("optname : [", record->optname);
    dumpText("firmware : [", record->firmware);
    dumpText("usbIfId : [", record->usbIfId);
    dumpNumber("adbdeviceport : [", record->adbdeviceport);
    if (record->storagetype >= u'A' && record->storagetype <= u'D') {
        DD_LOG(LOG_DEBUG) << "storagetype : [" << static_cast<char>(record->storagetype) << "]";
    } else {
        DD_LOG(LOG_DEBUG) << "storagetype : [null]";
    }
    dumpNumber("kernel : [", record->kernel);
    dumpNumber("sdk :[", record->sdk);
    dumpNumber("pid :[", record->pid);
    dumpNumber("vid :[", record->vid);
    dumpNumber("factoryreset : [", record->factoryreset);
    dumpNumber("battery : [", record->battery);
    dumpNumber("cardcount : [", record->cardcount);
    if (record->cards == nullptr) {
        return;
    }
    uint32_t count = record->cardcount < kMaxDumpedCards ? record->cardcount : kMaxDumpedCards;
    for (uint32_t i = 0; i < count; ++i) {
        const CardRecord& card = record->cards[i];
        std::string prefix = "card[" + std::to_string(i) + "]";
        dumpText((prefix + " state : [").c_str(), card.state);
        dumpNumber((prefix + " storageTotal : [").c_str(),
                   static_cast<unsigned long long>(card.storageTotal));
        dumpNumber((prefix + " storageFree : [").c_str(),
                   static_cast<unsigned long long>(card.storageFree));
        dumpText((prefix + " path : [").c_str(), card.path);
        dumpText((prefix + " sid : [").c_str(), card.sid);
    }
}
