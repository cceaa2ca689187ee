// Wi-Fi phones on the simulator, through the module's C interface and our
// finder: how long a phone takes from its connect announcement to
// NEW_DEVICE (goal: median under 20 ms), and what 100 phones announcing
// themselves at the same moment cost (goal: all announced, none twice,
// under 2 s).
//
//   build/bin/wifi_bench
//   build/bin/wifi_bench --benchmark_filter=Hundred
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

}  // namespace

BENCHMARK_MAIN();
