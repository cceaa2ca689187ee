// Which removals devicedetect-host explains: only those of a phone that left
// without ever being ready, never the second removal of a phone the user
// disconnected before pulling it out.
#include <gtest/gtest.h>

#include "devicedetect/DeviceDetect.h"
#include "served_phones.h"

namespace {

constexpr uint32_t kVid = 0x18d1;

TEST(ServedPhones, OnlyAPhoneThatWasNeverReadyIsExplained) {
    ServedPhones phones;
    EXPECT_FALSE(phones.unservedRemoval(DEVICE_DISCOVERED, "SERVED1", kVid));
    EXPECT_FALSE(phones.unservedRemoval(NEW_DEVICE, "SERVED1", kVid));
    EXPECT_FALSE(phones.unservedRemoval(REMOVE_DEVICE, "SERVED1", kVid));

    EXPECT_FALSE(phones.unservedRemoval(DEVICE_DISCOVERED, "NEVER1", kVid));
    EXPECT_TRUE(phones.unservedRemoval(REMOVE_DEVICE, "NEVER1", kVid));
    // Without USB ids there is nothing to look at.
    EXPECT_FALSE(phones.unservedRemoval(REMOVE_DEVICE, "NEVER2", 0));
}

TEST(ServedPhones, APhoneThatComesBackAndFailsIsExplainedAgain) {
    ServedPhones phones;
    EXPECT_FALSE(phones.unservedRemoval(NEW_DEVICE, "R58M40ABCDE", kVid));
    EXPECT_FALSE(phones.unservedRemoval(REMOVE_DEVICE, "R58M40ABCDE", kVid));
    // Plugged in again, discovered, and given up before it was ready.
    EXPECT_FALSE(phones.unservedRemoval(DEVICE_DISCOVERED, "R58M40ABCDE", kVid));
    EXPECT_TRUE(phones.unservedRemoval(REMOVE_DEVICE, "R58M40ABCDE", kVid));
    // The unplug after the user's disconnect is no failure; a third removal
    // without a new journey between is.
    EXPECT_FALSE(phones.unservedRemoval(NEW_DEVICE, "OTHER1", kVid));
    EXPECT_FALSE(phones.unservedRemoval(REMOVE_DEVICE, "OTHER1", kVid));  // disconnect
    EXPECT_FALSE(phones.unservedRemoval(REMOVE_DEVICE, "OTHER1", kVid));  // unplug
    EXPECT_TRUE(phones.unservedRemoval(REMOVE_DEVICE, "OTHER1", kVid));
}

}  // namespace
