// What devicedetect-host shows of a phone that waits in adb: the module's
// DRIVER_INSTALLING carries the state in the record's firmware ("adb:" and
// the state), and the host turns it into advice for the phone's user, in
// the live view and in JSON. Only the module's own state names pass.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>

#include "base/text_codec.h"
#include "events.h"

namespace {

DeviceRecord waitingRecord(const std::string& firmware) {
    DeviceRecord record{};
    dd::copyToField(record.serialno, "R58M40ABCDE");
    dd::copyToField(record.firmware, firmware);
    record.vid = 0x18d1;
    record.pid = 0x4ee7;
    return record;
}

nlohmann::json parse(const std::string& line) {
    nlohmann::json root = nlohmann::json::parse(line, nullptr, false);
    EXPECT_FALSE(root.is_discarded()) << line;
    return root;
}

struct WaitCase {
    const char* firmware;
    const char* state;   // shown; "" for none
    const char* advice;  // a piece of the advice shown
};

class HostAdbWait : public ::testing::TestWithParam<WaitCase> {};

TEST_P(HostAdbWait, ShowsTheStateAndWhatToDo) {
    const WaitCase& c = GetParam();
    DeviceRecord record = waitingRecord(c.firmware);
    HostEvent event = eventFromRecord(DRIVER_INSTALLING, &record);
    std::string readable = formatReadable(event);
    nlohmann::json json = parse(formatJson(event));
    EXPECT_EQ(json.value("event", ""), "DRIVER_INSTALLING");
    if (*c.state == 0) {
        EXPECT_NE(readable.find("driver installing  R58M40ABCDE"), std::string::npos) << readable;
        EXPECT_FALSE(json.contains("adbstate"));
        EXPECT_FALSE(json.contains("advice"));
        return;
    }
    EXPECT_NE(
        readable.find("waiting for adb    R58M40ABCDE (18d1:4ee7) " + std::string(c.state) + ": "),
        std::string::npos)
        << readable;
    EXPECT_NE(readable.find(c.advice), std::string::npos) << readable;
    EXPECT_EQ(json.value("adbstate", ""), c.state);
    EXPECT_NE(json.value("advice", "").find(c.advice), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    States, HostAdbWait,
    ::testing::Values(WaitCase{"adb:unauthorized", "unauthorized",
                               "accept the USB debugging prompt on the phone"},
                      WaitCase{"adb:absent", "absent", "turn on USB debugging"},
                      WaitCase{"adb:offline", "offline", "adb is starting"},
                      WaitCase{"adb:no permissions", "no permissions", "udev rules"},
                      WaitCase{"adb:recovery", "recovery", "restart it"},
                      // A driver wait, and texts that are not the module's state names.
                      WaitCase{"", "", ""}, WaitCase{"adb:", "", ""},
                      WaitCase{"adb:\x1b[2Jdevice;rm", "", ""}, WaitCase{"V11.0.3", "", ""}));

}  // namespace
