// USB detection costs: a full hub scan of a large tree, the delay from a plug
// to the phone's thread, and what an idle module with phones attached costs
// in wake-ups.
//
//   build/bin/usb_bench                         (all)
//   build/bin/usb_bench --benchmark_filter=Scan
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "core/device_detect_app.h"
#include "device/hub_queries.h"
#include "device/usb_device_thread.h"
#include "deviceinfo/supported_devices.h"
#include "fake_usb_tree.h"
#include "test_env.h"
#include "thread_switches.h"
#include "usb/usb_detect.h"

namespace {

using phonesim::FakeUsbDevice;
using phonesim::FakeUsbTree;

// 10 buses, 5 hubs of 20 ports on each: 50 hubs, 1000 devices (105 devices
// per bus, below the kernel's 127): phones, or devices of a vendor the
// catalogue does not know.
void buildLargeTree(FakeUsbTree& tree, uint16_t vid = FakeUsbDevice().vid) {
    int serial = 0;
    for (int bus = 1; bus <= 10; ++bus) {
        tree.addRootHub(bus, 8);
        for (int hubPort = 1; hubPort <= 5; ++hubPort) {
            std::string hub = std::to_string(bus) + "-" + std::to_string(hubPort);
            tree.addHub(hub, 20);
            for (int port = 1; port <= 20; ++port) {
                FakeUsbDevice phone;
                phone.port = hub + "." + std::to_string(port);
                phone.serial = "BENCH" + std::to_string(++serial);
                phone.vid = vid;
                tree.plug(phone);
            }
        }
    }
}

void BM_ScanOfAThousandPhonesOnFiftyHubs(benchmark::State& state) {
    ddtest::TempDir dir("usbbench");
    FakeUsbTree tree(dir / "sys", dir / "dev");
    buildLargeTree(tree);
    CSupportedDevices supported;
    supported.loadSupportedIds(std::string(DD_TEST_DATA_DIR) + "/device.xml");
    dd::platform::UsbSysfs sysfs(dir / "sys", dir / "dev");
    size_t found = 0;
    for (auto _ : state) {
        found = CUsbDetect::scanPorts(sysfs, supported, [](const auto&) {});
        benchmark::DoNotOptimize(found);
    }
    state.counters["phones_found"] = static_cast<double>(found);
}
BENCHMARK(BM_ScanOfAThousandPhonesOnFiftyHubs)->Unit(benchmark::kMillisecond);

// The in-process module against a sandbox, detection running, log off.
class RunningModule {
  public:
    RunningModule() : sandbox("None"), tree(sandbox.sysfsRoot, sandbox.devRoot) {}
    void start() {
        theApp.readLoaderConfig();
        theApp.prepareDetect();
        theApp.startDetect();
    }
    ~RunningModule() {
        theApp.stopDetect();
        theApp.waitForDetectionEnd();
    }
    ddtest::Sandbox sandbox;
    FakeUsbTree tree;
};

std::shared_ptr<CUsbDeviceThread> threadWithSerial(const std::string& serial) {
    for (const auto& thread : theApp.deviceThreads()) {
        if (thread->m_csSerialNum.matches(serial)) {
            return thread;
        }
    }
    return nullptr;
}

void BM_ScanWithAThousandThreadsListed(benchmark::State& state) {
    // The full scan as the watch thread runs it, when every phone already has
    // its (suspended) thread: each port is looked up in the list.
    RunningModule module;
    buildLargeTree(module.tree);
    theApp.readLoaderConfig();
    theApp.prepareDetect();
    for (const auto& device : moduleUsbTree().listPortDevices()) {
        if (!device.isHub) {
            theApp.CreateDeviceMonitorThread(device.hubPath, device.port, device.vid, device.pid);
        }
    }
    for (auto _ : state) {
        theApp.m_usbDetect.usbDetect();
    }
    state.counters["threads_listed"] = static_cast<double>(theApp.deviceThreads().size());
}
BENCHMARK(BM_ScanWithAThousandThreadsListed)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_PlugToThreadStart(benchmark::State& state) {
    RunningModule module;
    module.start();
    int round = 0;
    for (auto _ : state) {
        std::string serial = "LAT" + std::to_string(++round);
        FakeUsbDevice phone;
        phone.port = "1-1";
        phone.serial = serial;
        auto plugged = std::chrono::steady_clock::now();
        module.tree.plug(phone);
        // The thread has started and identified the phone once it carries
        // the serial.
        while (!threadWithSerial(serial)) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - plugged).count());
        module.tree.unplug("1-1");
        while (!theApp.deviceThreads().empty()) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
}
BENCHMARK(BM_PlugToThreadStart)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(200);

// What one phone's plug and unplug cost when 1,000 other devices are
// attached: the detector's own threads (watch and list), and the whole
// module with the phone's thread (which identifies the phone and waits for
// its driver). With a rescan per event this grows with the tree; handled by
// name it does not.
void BM_PlugWithAThousandDevicesAttached(benchmark::State& state) {
    RunningModule module;
    buildLargeTree(module.tree, 0x046d);  // not phones: no threads of their own
    module.start();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the first scan is done
    auto detectorCpuMs = [] {
        std::map<std::string, double> cpu = cpuMsByThreadName();
        return cpu["dd-usb-watch"] + cpu["dd-usb-list"];
    };
    // The whole module: the process's CPU (ended threads included) but for
    // this thread's, which only plugs and polls.
    auto moduleCpuMs = [] {
        rusage process{};
        rusage self{};
        getrusage(RUSAGE_SELF, &process);
        getrusage(RUSAGE_THREAD, &self);
        auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
        return ms(process.ru_utime) + ms(process.ru_stime) - ms(self.ru_utime) - ms(self.ru_stime);
    };
    const double before = detectorCpuMs();
    const double moduleBefore = moduleCpuMs();
    int round = 0;
    for (auto _ : state) {
        std::string serial = "ONE" + std::to_string(++round);
        FakeUsbDevice phone;
        phone.port = "11-1";
        phone.serial = serial;
        phone.node = false;  // the thread waits for its driver: no adb needed
        auto plugged = std::chrono::steady_clock::now();
        module.tree.plug(phone);
        while (!threadWithSerial(serial)) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - plugged).count());
        module.tree.unplug("11-1");
        while (!theApp.deviceThreads().empty()) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    state.counters["detector_cpu_ms_per_plug"] =
        (detectorCpuMs() - before) / static_cast<double>(std::max(round, 1));
    state.counters["module_cpu_ms_per_plug"] =
        (moduleCpuMs() - moduleBefore) / static_cast<double>(std::max(round, 1));
}
BENCHMARK(BM_PlugWithAThousandDevicesAttached)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(50);

// The USB layer with ten phones plugged and no adb server: the watch thread
// must not wake at all. The phones never answer, so their threads give up
// and are started again by the list thread (about twice a second); the
// wake-ups of announced, idle phones are android_bench's BM_IdleAnnouncedPhones.
void BM_IdleWakeupsWithTenPhones(benchmark::State& state) {
    RunningModule module;
    module.start();
    for (int port = 1; port <= 10; ++port) {
        FakeUsbDevice phone;
        phone.port = "1-" + std::to_string(port);
        phone.serial = "IDLE" + std::to_string(port);
        module.tree.plug(phone);
    }
    for (int port = 1; port <= 10; ++port) {
        while (!threadWithSerial("IDLE" + std::to_string(port))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::map<std::string, double> rate;
    for (auto _ : state) {
        rate = wakeupsPerSecond(5);
    }
    state.counters["watch_thread_per_s"] = rate["dd-usb-watch"];
    state.counters["list_thread_per_s"] = rate["dd-usb-list"];
    state.counters["device_threads_per_s"] = rate["dd-device"];
}
BENCHMARK(BM_IdleWakeupsWithTenPhones)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
