// BREW phones on the simulator, in-process: how long a phone takes from
// plug to its entry in the detected-device store (DetectPhone, GetPhoneInfo,
// the two registration reads, the port's close pause, the store write), how
// long an unplug takes to remove the entry, and 16 phones plugged at once.
//
//   build/bin/brew_bench
//   build/bin/brew_bench --benchmark_filter=Sixteen
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "android/pc_identity.h"
#include "brew_phone.h"
#include "core/device_detect_app.h"
#include "deviceinfo/xml_helper.h"
#include "fake_usb_tree.h"
#include "test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Detection running on a sandboxed machine.
struct BrewMachine {
    ddtest::Sandbox sandbox{"Err"};
    phonesim::FakeUsbTree tree{sandbox.sysfsRoot, sandbox.devRoot};
    std::string key;
    BrewMachine() {
        theApp.readLoaderConfig();
        theApp.prepareDetect();
        key = dd::android::shortPcIdentity();
        theApp.startDetect();
    }
    ~BrewMachine() {
        theApp.stopDetect();
        theApp.waitForDetectionEnd();
    }
    size_t entries() const {
        CXmlHelper doc;
        if (doc.LoadFromFile(sandbox.dataDir() + "/xml/detecteddevice.xml") != CXmlHelper::kOk ||
            doc.root().name() != "detecteddevice") {
            return 0;
        }
        return doc.root().children("device").size();
    }
    // Looks at the store every millisecond until it holds count entries.
    bool waitForEntries(size_t count, std::chrono::seconds limit = std::chrono::seconds(60)) {
        Clock::time_point end = Clock::now() + limit;
        while (entries() != count) {
            if (Clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    phonesim::BrewPhoneSpec phone(int n) const {
        phonesim::BrewPhoneSpec spec;
        spec.port = std::to_string(n / 15 + 1) + "-" + std::to_string(n % 15 + 1);
        spec.imei = std::to_string(356938035600000LL + n);
        spec.syncSvr = key + std::string(1, '\0');
        spec.syncSetting = key;
        return spec;
    }
};

double median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void BM_PlugToStoreEntry(benchmark::State& state) {
    BrewMachine machine;
    std::vector<double> plugToEntry, unplugToGone;
    int n = 0;
    for (auto _ : state) {
        phonesim::BrewPhone phone(machine.phone(n++ % 15));
        Clock::time_point plugged = Clock::now();
        phone.plug(machine.tree);
        if (!machine.waitForEntries(1)) {
            state.SkipWithError("no store entry");
            break;
        }
        plugToEntry.push_back(ms(Clock::now() - plugged));
        Clock::time_point pulled = Clock::now();
        phone.unplug();
        if (!machine.waitForEntries(0)) {
            state.SkipWithError("entry not removed");
            break;
        }
        unplugToGone.push_back(ms(Clock::now() - pulled));
        state.SetIterationTime(plugToEntry.back() / 1000.0);
    }
    state.counters["plug_to_entry_median_ms"] = median(plugToEntry);
    state.counters["unplug_to_removed_median_ms"] = median(unplugToGone);
}
BENCHMARK(BM_PlugToStoreEntry)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_SixteenPhonesAtOnce(benchmark::State& state) {
    for (auto _ : state) {
        BrewMachine machine;
        std::vector<std::unique_ptr<phonesim::BrewPhone>> phones;
        for (int i = 0; i < 16; ++i) {
            phones.push_back(std::make_unique<phonesim::BrewPhone>(machine.phone(i)));
        }
        Clock::time_point start = Clock::now();
        for (auto& phone : phones) {
            phone->plug(machine.tree);
        }
        bool all = machine.waitForEntries(16);
        double elapsed = ms(Clock::now() - start);
        state.SetIterationTime(elapsed / 1000.0);
        state.counters["entries"] = static_cast<double>(machine.entries());
        state.counters["ms_to_all_16"] = all ? elapsed : -1;
        Clock::time_point pulled = Clock::now();
        for (auto& phone : phones) {
            phone->unplug();
        }
        machine.waitForEntries(0);
        state.counters["ms_unplug_all_16"] = ms(Clock::now() - pulled);
    }
}
BENCHMARK(BM_SixteenPhonesAtOnce)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
