// Whole Android phones on the simulator, through the module's C interface:
// how long a phone that answers at once takes from plug to NEW_DEVICE (with
// the time of each stage, read from the log), how long an unplug takes to
// reach the host, what storms of phones plugged at the same moment cost
// (the phones in a `phonesim machine` process of their own), and what idle
// announced phones cost in wake-ups.
//
//   build/bin/android_bench
//   build/bin/android_bench --benchmark_filter=Storm
//   build/bin/android_bench --benchmark_filter=Idle
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "android/phone_harness.h"
#include "machine_process.h"
#include "thread_switches.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

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
    if (line.size() < 23 ||
        std::sscanf(line.c_str() + 11, "%d:%d:%d:%d", &h, &m, &s, &milli) != 4) {
        return -1;
    }
    return ((h * 60 + m) * 60 + s) * 1000.0 + milli;
}

// Stage marks of one phone thread, in the order they are logged.
const char* const kStageMarks[] = {
    "[DETECT] found device",       "[DETECT] driver is ready.",     "[DETECT] getprop done.",
    "[DETECT] TRV mode is ready.", "[DETECT] DEVICE_DISCOVERED",    "[DETECT] doinfo return",
    "[DETECT] 7890 7990 start",    "[DETECT] device is connected.",
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
        if (v.empty())
            return 0.0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    // Nearest-rank 99th percentile: with 20 plugs this is the slowest one.
    auto p99 = [](std::vector<double> v) {
        if (v.empty())
            return 0.0;
        std::sort(v.begin(), v.end());
        size_t rank = (v.size() * 99 + 99) / 100;
        return v[std::max<size_t>(rank, 1) - 1];
    };
    state.counters["plug_to_new_median_ms"] = median(plugToNew);
    state.counters["plug_to_new_p99_ms"] = p99(plugToNew);
    state.counters["plug_to_discovered_median_ms"] = median(plugToDiscovered);
    state.counters["unplug_to_remove_median_ms"] = median(unplugToRemove);
    state.counters["unplug_to_remove_p99_ms"] = p99(unplugToRemove);
    for (const auto& [mark, sum] : stageSum) {
        std::string name = mark;
        name.erase(0, 9);  // "[DETECT] "
        state.counters["stage_ms " + name] = sum / std::max<size_t>(1, plugToNew.size());
    }
}
BENCHMARK(BM_PlugToNewDevice)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

// A phone that reaches adb late: range(0) seconds after its plug adb lists
// it (range(1) 0), or it shows its USB debugging prompt that long and is
// accepted then (range(1) 1). ready_to_new_ms: from the moment adb could
// serve it to NEW_DEVICE; the adb server must not be restarted meanwhile.
void BM_LateAdbPhone(benchmark::State& state) {
    ddtest::PhoneMachine machine;
    machine.start();
    const std::chrono::seconds late(state.range(0));
    const bool prompt = state.range(1) == 1;
    for (auto _ : state) {
        phonesim::SimPhoneSpec spec = benchPhone(0);
        spec.serial = prompt ? "PROMPT1" : "LATE1";
        spec.adbUnauthorized = prompt;
        spec.adbListedAfter = prompt ? std::chrono::milliseconds(0) : late;
        Clock::time_point plugged = Clock::now();
        machine.machine.plug(spec);
        Clock::time_point ready = plugged + late;
        if (prompt) {
            // The user reads the prompt; meanwhile the waiting thread should
            // sleep (a few looks with "adb devices" apart).
            std::this_thread::sleep_for(std::chrono::seconds(3));
            std::map<std::string, double> rates =
                wakeupsPerSecond(std::chrono::duration<double>(ready - Clock::now()).count());
            state.counters["waiting_device_wakeups_per_s"] = rates["dd-device"];
            ready = Clock::now();
            machine.machine.adb().authorize(spec.serial);
        }
        if (!machine.host.waitFor(NEW_DEVICE, 1, late + std::chrono::seconds(30))) {
            state.SkipWithError("no NEW_DEVICE");
            break;
        }
        Clock::time_point announced = machine.host.first(NEW_DEVICE, spec.serial).at;
        state.SetIterationTime(ms(announced - plugged) / 1000.0);
        state.counters["plug_to_new_ms"] = ms(announced - plugged);
        state.counters["ready_to_new_ms"] = ms(announced - ready);
        state.counters["adb_restarts"] = machine.machine.adb().killCount();
    }
}
BENCHMARK(BM_LateAdbPhone)
    ->Args({4, 0})
    ->Args({20, 0})
    ->Args({10, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

int openFdCount() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++n;
        }
        closedir(dir);
    }
    return n - 3;  // ".", ".." and the directory's own descriptor
}

int processThreads(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::atoi(line.c_str() + 8);
        }
    }
    return 0;
}

double loadAverage() {
    double one = 0;
    std::ifstream("/proc/loadavg") >> one;
    return one;
}

// The module in this process, the phones in a `phonesim machine` process.
class StormMachine {
  public:
    StormMachine()
        : sandbox("Info"),
          m_tmp("TMPDIR", sandbox.root.path()),
          m_timeLimit("DEVICEDETECT_ADB_TIMEOUT_MS", "10000"),
          process(sandbox.sysfsRoot, sandbox.devRoot, sandbox.root / "adb.port") {
        m_port = std::make_unique<ddtest::ScopedEnv>("ANDROID_ADB_SERVER_PORT",
                                                     std::to_string(process.adbPort()));
        std::string wrapper = sandbox.root / "adb-wrapper";
        ddtest::writeFile(wrapper,
                          "#!/bin/sh\nfor word in \"$@\"; do case \"$word\" in "
                          "start-server|fork-server) exit 1;; esac; done\nexec adb \"$@\"\n");
        chmod(wrapper.c_str(), 0755);
        m_adb = std::make_unique<ddtest::ScopedEnv>("DEVICEDETECT_ADB", wrapper);
        phonesim::writeServicePackages(sandbox.moduleDir, ddtest::PhoneMachine::kServiceVersion);
    }
    ~StormMachine() {
        if (module.ok()) {
            module.stopDetect();
            module.unload();
        }
    }
    bool start() {
        if (process.adbPort() == 0 || !module.ok() || module.InitDetect() != 0) {
            return false;
        }
        module.SetDeviceChangeCallBack(&ddtest::HostRecorder::onDeviceChange);
        return module.startDetect() == 0;
    }
    static std::string serial(int n) { return "STORM" + std::to_string(10000 + n); }
    static std::string port(int n) {
        // 17 root hubs of 15 ports hold 255 phones.
        return std::to_string(n / 15 + 1) + "-" + std::to_string(n % 15 + 1);
    }

    ddtest::Sandbox sandbox;

  private:
    ddtest::ScopedEnv m_tmp;
    ddtest::ScopedEnv m_timeLimit;
    std::unique_ptr<ddtest::ScopedEnv> m_port;
    std::unique_ptr<ddtest::ScopedEnv> m_adb;

  public:
    ddbench::MachineProcess process;
    ddtest::HostRecorder host;
    ddtest::LoadedModule module;
};

// Storms in a row: all phones plugged at once, then all pulled at once.
// Each storm must announce every phone once within 5 s and remove every one
// within 2 s, and leave threads and descriptors as they were.
void BM_StormOfPhones(benchmark::State& state) {
    const int phones = static_cast<int>(state.range(0));
    const int storms = static_cast<int>(state.range(1));
    StormMachine machine;
    if (!machine.start()) {
        state.SkipWithError("no machine");
        return;
    }
    std::vector<std::string> plugs, unplugs;
    for (int i = 0; i < phones; ++i) {
        plugs.push_back("plug " + StormMachine::serial(i) + " " + StormMachine::port(i));
        unplugs.push_back("unplug " + StormMachine::serial(i));
    }
    const int threadsBefore = threadCount();
    const int fdsBefore = openFdCount();
    const long rssBefore = residentKb();
    const double cpuBefore = cpuSeconds();
    const double loadBefore = loadAverage();
    double worstAnnounce = 0, worstRemove = 0, worstPrepare = 0;
    int lost = 0, twice = 0, slowStorms = 0, slowRemoves = 0, leaks = 0, peakThreads = 0;
    int peakSimulatorThreads = 0;
    long peakRssPerPhone = 0;
    size_t newBefore = 0, removeBefore = 0;
    for (auto _ : state) {
        for (int storm = 0; storm < storms; ++storm) {
            // The simulator starts every phone's programs first; release puts
            // all of them on the USB tree at once.
            std::vector<std::string> held{"hold"};
            held.insert(held.end(), plugs.begin(), plugs.end());
            Clock::time_point preparing = Clock::now();
            int plugged = machine.process.run(held) - 1;
            worstPrepare = std::max(worstPrepare, ms(Clock::now() - preparing) / 1000.0);
            Clock::time_point start = Clock::now();
            machine.process.run({"release"});
            size_t wanted = newBefore + static_cast<size_t>(plugged);
            bool all = false;
            while (!all && Clock::now() - start < std::chrono::seconds(60)) {
                all = machine.host.waitFor(NEW_DEVICE, wanted, std::chrono::milliseconds(50));
                peakThreads = std::max(peakThreads, threadCount());
                peakSimulatorThreads =
                    std::max(peakSimulatorThreads, processThreads(machine.process.pid()));
            }
            peakRssPerPhone = std::max(peakRssPerPhone, (residentKb() - rssBefore) / phones);
            std::map<std::string, int> announced;
            Clock::time_point lastNew = start;
            for (const ddtest::Notice& notice : machine.host.notices()) {
                if (notice.code == NEW_DEVICE) {
                    ++announced[notice.serial];
                    lastNew = std::max(lastNew, notice.at);
                }
            }
            double seconds = ms(lastNew - start) / 1000.0;
            int thisLost = 0;
            for (int i = 0; i < phones; ++i) {
                int count = announced[StormMachine::serial(i)] - storm;
                thisLost += count < 1;
                twice += count > 1;
            }
            lost += thisLost + (phones - plugged);
            worstAnnounce = std::max(worstAnnounce, seconds);
            slowStorms += seconds > 5.0;
            newBefore = machine.host.count(NEW_DEVICE);

            std::vector<std::string> pulls{"hold"};
            pulls.insert(pulls.end(), unplugs.begin(), unplugs.end());
            machine.process.run(pulls);
            Clock::time_point pulled = Clock::now();
            machine.process.run({"release"});
            bool removed =
                machine.host.waitFor(REMOVE_DEVICE, removeBefore + static_cast<size_t>(plugged),
                                     std::chrono::seconds(30));
            Clock::time_point lastRemove = pulled;
            std::vector<ddtest::Notice> notices = machine.host.notices();
            for (const ddtest::Notice& notice : notices) {
                if (notice.code == REMOVE_DEVICE) {
                    lastRemove = std::max(lastRemove, notice.at);
                }
            }
            double removeSeconds = ms(lastRemove - pulled) / 1000.0;
            worstRemove = std::max(worstRemove, removeSeconds);
            slowRemoves += !removed || removeSeconds > 2.0;
            removeBefore = machine.host.count(REMOVE_DEVICE);
            // Threads end just after their REMOVE_DEVICE: wait for them.
            bool back = ddtest::waitUntil(
                [&] { return threadCount() <= threadsBefore && openFdCount() <= fdsBefore; },
                std::chrono::seconds(10));
            leaks += !back;
            state.SetIterationTime(seconds);
        }
    }
    state.counters["storms"] = storms;
    state.counters["phones_lost"] = lost;
    state.counters["announced_twice"] = twice;
    state.counters["worst_s_to_all_new"] = worstAnnounce;
    state.counters["worst_s_simulator_prepares_phones"] = worstPrepare;
    state.counters["storms_over_5s"] = slowStorms;
    state.counters["worst_s_to_all_removed"] = worstRemove;
    state.counters["removes_over_2s"] = slowRemoves;
    state.counters["storms_leaving_threads_or_fds"] = leaks;
    state.counters["threads_before"] = threadsBefore;
    state.counters["threads_after"] = threadCount();
    state.counters["fds_before"] = fdsBefore;
    state.counters["fds_after"] = openFdCount();
    state.counters["peak_threads_per_phone"] =
        static_cast<double>(peakThreads - threadsBefore) / phones;
    state.counters["simulator_peak_threads"] = peakSimulatorThreads;
    state.counters["peak_rss_kb_per_phone"] = static_cast<double>(peakRssPerPhone);
    state.counters["module_cpu_ms_per_phone_per_storm"] =
        (cpuSeconds() - cpuBefore) * 1000.0 / (phones * storms);
    state.counters["load_average_1min_before"] = loadBefore;
    state.counters["load_average_1min_after"] = loadAverage();
}
BENCHMARK(BM_StormOfPhones)
    ->Args({50, 1})
    ->Args({255, 1})
    ->Args({255, 10})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// One more phone, plugged and pulled 20 times, while range(0) announced
// phones stay attached (none, and 100): what the others cost each arrival.
void BM_PlugToNewDeviceBesideAnnouncedPhones(benchmark::State& state) {
    const int kIdle = static_cast<int>(state.range(0));
    StormMachine machine;
    if (!machine.start()) {
        state.SkipWithError("no machine");
        return;
    }
    std::vector<std::string> plugs;
    for (int i = 0; i < kIdle; ++i) {
        plugs.push_back("plug " + StormMachine::serial(i) + " " + StormMachine::port(i));
    }
    machine.process.run(plugs);
    if (!machine.host.waitFor(NEW_DEVICE, kIdle, std::chrono::seconds(60))) {
        state.SkipWithError("not all announced");
        return;
    }
    std::vector<double> plugToNew;
    const double cpuBefore = cpuSeconds();
    const std::string serial = StormMachine::serial(kIdle);
    const std::string port = StormMachine::port(kIdle);
    size_t announced = kIdle;
    size_t removed = 0;
    for (auto _ : state) {
        // The phone's programs start first; release puts it on the tree.
        machine.process.run({"hold", "plug " + serial + " " + port});
        Clock::time_point start = Clock::now();
        machine.process.run({"release"});
        if (!machine.host.waitFor(NEW_DEVICE, ++announced, std::chrono::seconds(20))) {
            state.SkipWithError("no NEW_DEVICE");
            break;
        }
        Clock::time_point at = start;
        for (const ddtest::Notice& notice : machine.host.notices()) {
            if (notice.code == NEW_DEVICE && notice.serial == serial) {
                at = notice.at;  // the latest one is this round's
            }
        }
        plugToNew.push_back(ms(at - start));
        state.SetIterationTime(plugToNew.back() / 1000.0);
        machine.process.run({"unplug " + serial});
        if (!machine.host.waitFor(REMOVE_DEVICE, ++removed, std::chrono::seconds(20))) {
            state.SkipWithError("no REMOVE_DEVICE");
            break;
        }
    }
    // This thread only drives the simulator and waits: the process's CPU is
    // the module's.
    state.counters["module_cpu_ms_per_plug"] =
        (cpuSeconds() - cpuBefore) * 1000.0 / static_cast<double>(std::max<size_t>(removed, 1));
    std::sort(plugToNew.begin(), plugToNew.end());
    if (!plugToNew.empty()) {
        state.counters["plug_to_new_median_ms"] = plugToNew[plugToNew.size() / 2];
        // Nearest rank: with 20 plugs the slowest.
        state.counters["plug_to_new_p99_ms"] =
            plugToNew[std::max<size_t>((plugToNew.size() * 99 + 99) / 100, 1) - 1];
    }
}
BENCHMARK(BM_PlugToNewDeviceBesideAnnouncedPhones)
    ->Arg(0)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

// Ten whole phones announced and left alone: what the module's threads cost
// while nothing happens (10 s).
void BM_IdleAnnouncedPhones(benchmark::State& state) {
    constexpr int kPhones = 10;
    StormMachine machine;
    if (!machine.start()) {
        state.SkipWithError("no machine");
        return;
    }
    std::vector<std::string> plugs;
    for (int i = 0; i < kPhones; ++i) {
        plugs.push_back("plug " + StormMachine::serial(i) + " " + StormMachine::port(i));
    }
    const int threadsBefore = threadCount();
    machine.process.run(plugs);
    if (!machine.host.waitFor(NEW_DEVICE, kPhones, std::chrono::seconds(60))) {
        state.SkipWithError("not all announced");
        return;
    }
    // The sync links come up right after the announcement.
    ddtest::waitUntil(
        [&] {
            return switchesByThreadName().count("dd-sync") != 0 &&
                   threadCount() - threadsBefore >= 2 * kPhones;
        },
        std::chrono::seconds(10));
    std::map<std::string, double> rate;
    for (auto _ : state) {
        rate = wakeupsPerSecond(10);
    }
    state.counters["device_threads_per_s"] = rate["dd-device"];
    state.counters["sync_threads_per_s"] = rate["dd-sync"];
    state.counters["watch_thread_per_s"] = rate["dd-usb-watch"];
    state.counters["list_thread_per_s"] = rate["dd-usb-list"];
    state.counters["module_threads_per_phone"] =
        static_cast<double>(threadCount() - threadsBefore) / kPhones;
    state.counters["load_average_1min"] = loadAverage();
}
BENCHMARK(BM_IdleAnnouncedPhones)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
