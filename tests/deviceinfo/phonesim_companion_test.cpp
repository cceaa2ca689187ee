// "phonesim companion" as the demo runs it: a separate process serving one
// phone until it is told to stop.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "child_program.h"
#include "deviceinfo/android_device_info.h"

namespace {

ddtest::ChildProgram phonesim(std::vector<std::string> args) {
    args.insert(args.begin(), {std::string(DD_TEST_BIN_DIR) + "/phonesim", "companion"});
    return ddtest::ChildProgram(args, {}, std::chrono::seconds(60));
}

TEST(PhonesimCompanion, ServesTheConfiguredPhoneUntilSigterm) {
    ddtest::ChildProgram companion = phonesim({"--port", "0", "--imei", "867530900000042",
                                               "--serial", "CMDLINE1", "--version-code", "40"});
    ASSERT_TRUE(companion.waitForOutput("\n", std::chrono::seconds(20)));
    std::string banner = companion.output();
    size_t colon = banner.rfind(':');
    ASSERT_NE(colon, std::string::npos) << banner;
    int port = std::stoi(banner.substr(colon + 1));

    AndroidDeviceInfo info;
    ASSERT_EQ(info.QueryDeviceInfo("127.0.0.1", port, port, "k"), 1);
    EXPECT_EQ(info.imei, "867530900000042");
    EXPECT_EQ(info.serialNumber(), "CMDLINE1");
    EXPECT_EQ(info.versionCode, 40);

    EXPECT_EQ(companion.stop(SIGTERM), 0);
    EXPECT_EQ(companion.output(), banner + "companion service stopped: 1 requests, 0 sync ends\n");
}

TEST(PhonesimCompanion, RefusesUnknownOptions) {
    EXPECT_EQ(phonesim({"--fault", "sideways"}).finish(), 2);
}

}  // namespace
