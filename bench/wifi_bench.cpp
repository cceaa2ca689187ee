// Wi-Fi phones on the simulator, through the module's C interface and our
// finder: how long a phone takes from its connect announcement to
// NEW_DEVICE (goal: median under 20 ms), what 100 phones announcing
// themselves at the same moment cost (goal: all announced, none twice,
// under 2 s), and how long a USB phone plugged after a storm of 255
// announcements from one address takes to be announced (goal: as without
// the storm, one Wi-Fi phone for the address, no serial announced twice).
//
//   build/bin/wifi_bench
//   build/bin/wifi_bench --benchmark_filter=Hundred
//   build/bin/wifi_bench --benchmark_filter=Storm
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "wifi/wifi_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void BM_ConnectToNewDevice(benchmark::State& state) {
    ddtest::WifiMachine machine;
    machine.start();
    auto phone = machine.phone("860000000009001", "BENCHWIFI1");
    std::vector<double> connectToNew;
    std::vector<double> disconnectToRemove;
    size_t n = 0;
    for (auto _ : state) {
        ++n;
        Clock::time_point sent = Clock::now();
        phone->connect();
        if (!machine.host.waitFor(NEW_DEVICE, n)) {
            state.SkipWithError("no NEW_DEVICE");
            break;
        }
        connectToNew.push_back(ms(machine.host.last(NEW_DEVICE).at - sent));
        sent = Clock::now();
        phone->disconnect();
        if (!machine.host.waitFor(REMOVE_DEVICE, n)) {
            state.SkipWithError("no REMOVE_DEVICE");
            break;
        }
        disconnectToRemove.push_back(ms(machine.host.last(REMOVE_DEVICE).at - sent));
        // The next connect must find the phone gone from the bridge.
        machine.sandbox.waitForLog("remove wifi dev completed.");
        state.SetIterationTime(connectToNew.back() / 1000.0);
    }
    state.counters["connect_to_new_median_ms"] = median(connectToNew);
    state.counters["disconnect_to_remove_median_ms"] = median(disconnectToRemove);
}
BENCHMARK(BM_ConnectToNewDevice)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_HundredPhonesAtOnce(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        ddtest::WifiMachine machine;
        machine.start();
        std::vector<std::unique_ptr<phonesim::WifiPhone>> phones;
        for (int i = 0; i < count; ++i) {
            phones.push_back(machine.phone("8600000001" + std::to_string(10000 + i),
                                           "STORM" + std::to_string(i)));
        }
        Clock::time_point start = Clock::now();
        for (auto& phone : phones) {
            phone->connect();
        }
        bool all =
            machine.host.waitFor(NEW_DEVICE, static_cast<size_t>(count), std::chrono::seconds(60));
        double seconds = ms(Clock::now() - start) / 1000.0;
        state.SetIterationTime(seconds);
        std::map<std::string, int> announced;
        for (const ddtest::Notice& notice : machine.host.notices()) {
            announced[notice.serial] += notice.code == NEW_DEVICE;
        }
        int twice = 0;
        for (const auto& [serial, times] : announced) {
            twice += times > 1;
        }
        if (!all) {
            state.SkipWithError("not every phone was announced");
        }
        state.counters["announced"] = static_cast<double>(machine.host.count(NEW_DEVICE));
        state.counters["announced_twice"] = twice;
        state.counters["seconds_to_all"] = seconds;
    }
}
BENCHMARK(BM_HundredPhonesAtOnce)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The storm: 255 phones announced from one address, one companion service
// there answering with an empty serial; then a USB phone is plugged.
void BM_UsbPhoneAfterWifiStormFromOneAddress(benchmark::State& state) {
    std::vector<double> plugToNew;
    double wifiAnnounced = 0;
    double serialsShared = 0;
    int round = 0;
    for (auto _ : state) {
        ddtest::WifiUsbMachine machine;
        machine.start();
        phonesim::WifiPhoneSpec spec;
        spec.imei = "860000000810000";
        spec.serial = "";
        auto storm = machine.wifiPhone(spec);
        phonesim::PhoneConfig config = storm->service().config();
        config.serialNumber = "";
        config.imei = "";
        storm->service().setConfig(config);
        for (int i = 0; i < 255; ++i) {
            qxwifi::AnnouncementFields fields;
            fields.imei = "8600000008" + std::to_string(10000 + i);
            fields.paired = machine.pcIdentity;
            fields.port = "8183";
            storm->sendRaw(qxwifi::formatAnnouncement(qxwifi::AnnouncementEvent::Connect, fields));
        }
        if (!machine.host.waitFor(NEW_DEVICE, 1, std::chrono::seconds(60))) {
            state.SkipWithError("the storm's first phone was not announced");
            break;
        }
        phonesim::SimPhoneSpec usb;
        usb.serial = "STORMUSB" + std::to_string(++round);
        Clock::time_point plugged = Clock::now();
        machine.machine.plug(usb);
        bool seen = ddtest::waitUntil(
            [&] { return machine.host.first(NEW_DEVICE, usb.serial).code == NEW_DEVICE; },
            std::chrono::seconds(60));
        if (!seen) {
            state.SkipWithError("the USB phone was not announced");
            break;
        }
        plugToNew.push_back(ms(machine.host.first(NEW_DEVICE, usb.serial).at - plugged));
        state.SetIterationTime(plugToNew.back() / 1000.0);
        std::map<std::string, int> announced;
        for (const ddtest::Notice& notice : machine.host.notices()) {
            if (notice.code == NEW_DEVICE) {
                announced[notice.serial] += 1;
                wifiAnnounced += notice.serverip == storm->address();
            }
        }
        for (const auto& [serial, times] : announced) {
            serialsShared += times > 1 || serial.empty();
        }
    }
    state.counters["usb_plug_to_new_median_ms"] = median(plugToNew);
    state.counters["usb_plug_to_new_worst_ms"] =
        plugToNew.empty() ? 0.0 : *std::max_element(plugToNew.begin(), plugToNew.end());
    state.counters["wifi_announced_per_storm"] = round > 0 ? wifiAnnounced / round : 0.0;
    state.counters["serials_shared"] = serialsShared;
}
BENCHMARK(BM_UsbPhoneAfterWifiStormFromOneAddress)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
