// devicedetect-host shows BREW phones from the detected-device store as
// they come and go: the real program, started by the test in a sandbox,
// with a simulated BREW phone plugged into the sandbox's USB tree.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "brew_phone.h"
#include "child_program.h"
#include "fake_usb_tree.h"
#include "test_env.h"

namespace {

constexpr auto kWait = std::chrono::seconds(20);

// Shown as it comes; taken out by the user's disconnect (by IMEI).
TEST(BrewHostView, TheHostShowsBrewPhonesAsTheyComeAndGo) {
    ddtest::Sandbox sandbox;
    phonesim::FakeUsbTree tree(sandbox.sysfsRoot, sandbox.devRoot);
    ddtest::ChildProgram host({std::string(DD_TEST_BIN_DIR) + "/devicedetect-host", "--json",
                               "--module-dir", DD_TEST_MODULE_DIR},
                              {}, std::chrono::seconds(120), true);
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(host.waitForLine({"DeviceDetect started"}, kWait));

    phonesim::BrewPhoneSpec spec;
    spec.imei = "356938035643809";
    spec.battery = "55";
    phonesim::BrewPhone phone(spec);
    ASSERT_TRUE(phone.plug(tree));
    EXPECT_TRUE(host.waitForLine({"\"event\":\"BREW_DEVICE\"", "\"imei\":\"356938035643809\"",
                                  "\"model\":\"Orq Classic\"", "\"commport\":\"" + phone.tty(),
                                  "\"firmware\":\"BREW 3.1.5 Q6085\"", "\"battery\":\"55\""},
                                 kWait));
    // The phone's thread takes disconnects once it has recorded the phone.
    ASSERT_TRUE(
        sandbox.waitForLog("brew phone 356938035643809 saved to the detected-device store"));
    // An IMEI the store does not hold is no BREW phone: it is looked up among
    // the announced phones and refused there.
    ASSERT_TRUE(host.send("disconnect 356938035643899\n"));
    EXPECT_TRUE(host.waitForLine({"no ready phone with serial 356938035643899"}, kWait));
    ASSERT_TRUE(host.send("disconnect 356938035643809\n"));
    EXPECT_TRUE(host.waitForLine({"disconnect 356938035643809: ok"}, kWait));
    // Still plugged in, yet out of the store.
    EXPECT_TRUE(host.waitForLine({"\"event\":\"BREW_REMOVED\"", "356938035643809"}, kWait));
    phone.unplug();
}

}  // namespace
