// Which phone devicedetect-host acts on when a sync request comes in: only
// the ready phone whose serial the request's text is. Any phone can send
// any text, so a text that names no ready phone picks none, however many
// phones are ready.
#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "base/text_codec.h"
#include "base/utf8_encode.h"
#include "events.h"
#include "ready_phones.h"

namespace {

DeviceRecord phoneRecord(const std::string& serial) {
    DeviceRecord record{};
    dd::copyToField(record.serialno, serial);
    record.adbdeviceport = 8182;
    return record;
}

std::string serialOf(const DeviceRecord& record) {
    return dd::utf16UnitsToUtf8(record.serialno, std::size(record.serialno));
}

// What the sync callback would hand over for text.
HostEvent requestFrom(const std::string& text) {
    std::u16string wide(text.begin(), text.end());
    return eventFromSyncRequest(wide.c_str(), START_SYNC);
}

TEST(HostSyncRequests, OnlyTheReadyPhoneTheTextNamesIsActedOn) {
    ReadyPhones phones;
    phones.onDeviceChange(NEW_DEVICE, phoneRecord("PHONEA01"));
    for (const char* text : {"", "anything", "phonea01", "PHONEA0", "PHONEA01 ", "PHONEB01"}) {
        EXPECT_FALSE(phones.namedBy(requestFrom(text).device))
            << "\"" << text << "\" picked the only ready phone";
    }
    ASSERT_TRUE(phones.namedBy(requestFrom("PHONEA01").device));

    phones.onDeviceChange(NEW_DEVICE, phoneRecord("PHONEB01"));
    auto named = phones.namedBy(requestFrom("PHONEB01").device);
    ASSERT_TRUE(named);
    EXPECT_EQ(serialOf(*named), "PHONEB01") << "a phone names another only by its serial";
    EXPECT_EQ(named->adbdeviceport, 8182u);
    phones.onDeviceChange(REMOVE_DEVICE, phoneRecord("PHONEB01"));
    EXPECT_FALSE(phones.namedBy("PHONEB01")) << "a phone that left is not ready";
    EXPECT_EQ(phones.serials(), std::vector<std::string>{"PHONEA01"});
}

// A record's serial holds 63 characters: a longer text that begins with one
// is another text, not that phone's name.
TEST(HostSyncRequests, ATextLongerThanASerialNeverNamesIt) {
    const std::string serial(63, 'S');
    ReadyPhones phones;
    phones.onDeviceChange(NEW_DEVICE, phoneRecord(serial));
    ASSERT_TRUE(phones.namedBy(requestFrom(serial).device));
    HostEvent longer = requestFrom(serial + "EXTRA");
    EXPECT_EQ(longer.device, serial + "EXTRA");
    EXPECT_FALSE(phones.namedBy(longer.device));

    HostEvent huge = requestFrom(std::string(10000, 'S'));
    EXPECT_EQ(huge.device.size(), kMaxSyncTextUnits) << "the copy is bounded";
    EXPECT_FALSE(phones.namedBy(huge.device));
    EXPECT_EQ(eventFromSyncRequest(nullptr, STOP_SYNC).device, "");
}

}  // namespace
