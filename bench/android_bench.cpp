// Whole Android phones on the simulator, through the module's C interface:
// how long a phone that answers at once takes from plug to NEW_DEVICE (with
// the time of each stage, read from the log), how long an unplug takes to
// reach the host, and what a storm of phones plugged at the same moment
// costs.
//
//   build/bin/android_bench
//   build/bin/android_bench --benchmark_filter=Storm
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "android/phone_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

phonesim::SimPhoneSpec benchPhone(int n) {
    phonesim::SimPhoneSpec spec;
    spec.serial = "BENCH" + std::to_string(10000 + n);
    // 17 root hubs of 15 ports hold 255 phones.
    spec.port = std::to_string(n / 15 + 1) + "-" + std::to_string(n % 15 + 1);
    return spec;
}

// Milliseconds of the day of a log line's timestamp ("... HH:MM:SS:mmm | ").
double lineTime(const std::string& line) {
    int h = 0, m = 0, s = 0, milli = 0;
    if (line.size() < 23 || std::sscanf(line.c_str() + 11, "%d:%d:%d:%d", &h, &m, &s, &milli) != 4) {
        return -1;
    }
    return ((h * 60 + m) * 60 + s) * 1000.0 + milli;
}

// Stage marks of one phone thread, in the order they are logged.
const char* const kStageMarks[] = {
    "[DETECT] found device",      "[DETECT] driver is ready.",
    "[DETECT] getprop done.",     "[DETECT] TRV mode is ready.",
    "[DETECT] DEVICE_DISCOVERED", "[DETECT] doinfo return",
    "[DETECT] 7890 7990 start",   "[DETECT] device is connected.",
};

long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

int threadCount() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (readdir(dir) != nullptr) {
            ++n;
        }
        closedir(dir);
    }
    return n - 2;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_PlugToNewDevice(benchmark::State& state) {
    ddtest::PhoneMachine machine;
    machine.start();
    std::vector<double> plugToNew, plugToDiscovered, unplugToRemove;
    std::map<std::string, double> stageSum;
    int n = 0;
    for (auto _ : state) {
        phonesim::SimPhoneSpec spec = benchPhone(n++ % 15);
        spec.serial = "BENCH" + std::to_string(n);
        Clock::time_point plugged = Clock::now();
        machine.machine.plug(spec);
        if (!machine.host.waitFor(NEW_DEVICE, static_cast<size_t>(n))) {
            state.SkipWithError("no NEW_DEVICE");
            break;
        }
        plugToNew.push_back(ms(machine.host.first(NEW_DEVICE, spec.serial).at - plugged));
        plugToDiscovered.push_back(
            ms(machine.host.first(DEVICE_DISCOVERED, spec.serial).at - plugged));
        Clock::time_point pulled = Clock::now();
        machine.machine.unplug(spec.serial);
        if (!machine.host.waitFor(REMOVE_DEVICE, static_cast<size_t>(n))) {
            state.SkipWithError("no REMOVE_DEVICE");
            break;
        }
        unplugToRemove.push_back(ms(machine.host.first(REMOVE_DEVICE, spec.serial).at - pulled));
        state.SetIterationTime(plugToNew.back() / 1000.0);
    }
    // Per-stage breakdown from the log: time since the previous mark.
    std::istringstream log(machine.sandbox.log());
    std::string line;
    double previous = -1;
    for (size_t mark = 0; std::getline(log, line);) {
        for (size_t i = 0; i < std::size(kStageMarks); ++i) {
            if (line.find(kStageMarks[i]) == std::string::npos) {
                continue;
            }
            double at = lineTime(line);
            if (i > 0 && previous >= 0) {
                stageSum[kStageMarks[i]] += at - previous;
            }
            previous = at;
            mark = i;
        }
        (void)mark;
    }
    auto median = [](std::vector<double> v) {
        if (v.empty()) return 0.0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    state.counters["plug_to_new_median_ms"] = median(plugToNew);
    state.counters["plug_to_discovered_median_ms"] = median(plugToDiscovered);
    state.counters["unplug_to_remove_median_ms"] = median(unplugToRemove);
    for (const auto& [mark, sum] : stageSum) {
        std::string name = mark;
        name.erase(0, 9);  // "[DETECT] "
        state.counters["stage_ms " + name] = sum / std::max<size_t>(1, plugToNew.size());
    }
}
BENCHMARK(BM_PlugToNewDevice)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

void BM_StormOfPhones(benchmark::State& state) {
    const int phones = static_cast<int>(state.range(0));
    for (auto _ : state) {
        ddtest::PhoneMachine machine;
        machine.start();
        int threadsBefore = threadCount();
        long rssBefore = residentKb();
        double cpuBefore = cpuSeconds();
        Clock::time_point start = Clock::now();
        for (int i = 0; i < phones; ++i) {
            machine.machine.plug(benchPhone(i));
        }
        int peakThreads = 0;
        bool all = false;
        while (!all && Clock::now() - start < std::chrono::seconds(60)) {
            all = machine.host.waitFor(NEW_DEVICE, static_cast<size_t>(phones),
                                       std::chrono::milliseconds(50));
            peakThreads = std::max(peakThreads, threadCount());
        }
        double seconds = ms(Clock::now() - start) / 1000.0;
        state.SetIterationTime(seconds);
        std::map<std::string, int> announced;
        for (const ddtest::Notice& notice : machine.host.notices()) {
            announced[notice.serial] += notice.code == NEW_DEVICE;
        }
        int twice = 0;
        for (const auto& [serial, count] : announced) {
            twice += count > 1;
        }
        state.counters["announced"] = static_cast<double>(machine.host.count(NEW_DEVICE));
        state.counters["announced_twice"] = twice;
        state.counters["seconds_to_all"] = seconds;
        state.counters["peak_threads_all"] = peakThreads;
        state.counters["threads_before"] = threadsBefore;
        state.counters["cpu_ms_per_phone"] = (cpuSeconds() - cpuBefore) * 1000.0 / phones;
        state.counters["rss_kb_per_phone"] =
            static_cast<double>(residentKb() - rssBefore) / phones;
    }
}
BENCHMARK(BM_StormOfPhones)->Arg(50)->Arg(255)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
