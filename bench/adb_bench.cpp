// "-s SERIAL shell getprop" through the runner (a socket to the adb server)
// against spawning the real adb client for it, both against the same
// emulated server: one phone after another, and 50 phones at once. The
// summary at the end gives how many times cheaper the runner is.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "adb_server.h"
#include "android/device_controller_bridge.h"
#include "base/text_codec.h"
#include "core/device_detect_app.h"
#include "devicedetect/DeviceController.h"
#include "support/test_env.h"

extern char** environ;

namespace {

constexpr int kPhones = 50;

std::string serialOf(int i) {
    return "BENCH" + std::to_string(100 + i);
}

// The emulated server, the runner and the environment, set up once.
struct Rig {
    Rig()
        : home("adbbench"),
          homeEnv("HOME", home.path()),
          tmpEnv("TMPDIR", home.path()),
          moduleEnv("DEVICEDETECT_MODULE_DIR", DD_TEST_MODULE_DIR),
          logEnv("DEVICEDETECT_LOG_FILE", home / "bench.log") {
        for (int i = 0; i < kPhones; ++i) {
            server.addPhone(phonesim::makeDefaultPhone(serialOf(i)));
        }
        server.start(0);
        portEnv = std::make_unique<ddtest::ScopedEnv>("ANDROID_ADB_SERVER_PORT",
                                                      std::to_string(server.port()));
        library =
            dlopen((std::string(DD_TEST_MODULE_DIR) + "/libDeviceController.so").c_str(), RTLD_NOW);
        run = library != nullptr ? reinterpret_cast<QX_RunAdbCmdFn>(dlsym(library, "QX_RunAdbCmd"))
                                 : nullptr;
        theApp.readLoaderConfig();  // the bridge finds the runner in the build's module folder
    }

    // Through the runner's entry point, library kept loaded.
    size_t viaRunner(const std::string& serial) const {
        std::u16string args = dd::utf8ToUtf16("-s " + serial + " shell getprop");
        std::vector<char> out(kAdbOutputBufferSize);
        run(args.c_str(), static_cast<int32_t>(args.size()), out.data(),
            static_cast<int32_t>(out.size()));
        return std::char_traits<char>::length(out.data());
    }

    // Through the module's bridge: the library is loaded for every call.
    static size_t viaBridge(const std::string& serial) {
        std::string output;
        RunAdbCmd("-s " + serial + " shell getprop", output, kAdbTimeLimitMs);
        return output.size();
    }

    // Spawning the real client (no shell in between), as a runner built on
    // the adb binary would.
    size_t viaClient(const std::string& serial) const {
        std::string port = std::to_string(server.port());
        const char* argv[] = {"adb",          "-P",    port.c_str(), "-s",
                              serial.c_str(), "shell", "getprop",    nullptr};
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return 0;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        pid_t pid = -1;
        int error = posix_spawnp(&pid, "adb", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        size_t total = 0;
        char buffer[8192];
        ssize_t n;
        while (error == 0 && (n = read(fds[0], buffer, sizeof(buffer))) > 0) {
            total += static_cast<size_t>(n);
        }
        close(fds[0]);
        if (error == 0) {
            waitpid(pid, nullptr, 0);
        }
        return total;
    }

    ddtest::TempDir home;
    ddtest::ScopedEnv homeEnv, tmpEnv, moduleEnv, logEnv;
    std::unique_ptr<ddtest::ScopedEnv> portEnv;
    phonesim::AdbServer server;
    void* library = nullptr;
    QX_RunAdbCmdFn run = nullptr;
};

Rig& rig() {
    static Rig instance;
    return instance;
}

template <typename Call>
void sequential(benchmark::State& state, Call call) {
    int i = 0;
    for (auto _ : state) {
        size_t size = call(serialOf(i++ % kPhones));
        if (size < 1000) {
            state.SkipWithError("getprop output too short");
            break;
        }
    }
}

template <typename Call>
void fiftyAtOnce(benchmark::State& state, Call call) {
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int i = 0; i < kPhones; ++i) {
            threads.emplace_back([&, i] { benchmark::DoNotOptimize(call(serialOf(i))); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    state.SetItemsProcessed(state.iterations() * kPhones);
}

void BM_Getprop_Runner(benchmark::State& state) {
    sequential(state, [](const std::string& s) { return rig().viaRunner(s); });
}
void BM_Getprop_Bridge(benchmark::State& state) {
    sequential(state, [](const std::string& s) { return Rig::viaBridge(s); });
}
void BM_Getprop_AdbClient(benchmark::State& state) {
    sequential(state, [](const std::string& s) { return rig().viaClient(s); });
}
void BM_Getprop50_Runner(benchmark::State& state) {
    fiftyAtOnce(state, [](const std::string& s) { return rig().viaRunner(s); });
}
void BM_Getprop50_Bridge(benchmark::State& state) {
    fiftyAtOnce(state, [](const std::string& s) { return Rig::viaBridge(s); });
}
void BM_Getprop50_AdbClient(benchmark::State& state) {
    fiftyAtOnce(state, [](const std::string& s) { return rig().viaClient(s); });
}

BENCHMARK(BM_Getprop_Runner)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Getprop_Bridge)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Getprop_AdbClient)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Getprop50_Runner)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Getprop50_Bridge)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Getprop50_AdbClient)->Unit(benchmark::kMillisecond)->UseRealTime();

// Prints the usual table, then the ratios of the client's time to ours.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            m_seconds[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto ratio = [&](const char* ours, const char* theirs) {
            auto a = m_seconds.find(ours);
            auto b = m_seconds.find(theirs);
            if (a != m_seconds.end() && b != m_seconds.end() && a->second > 0) {
                std::printf("%-28s %6.1fx cheaper than %s\n", ours, b->second / a->second, theirs);
            }
        };
        std::printf("\n");
        ratio("BM_Getprop_Runner/real_time", "BM_Getprop_AdbClient/real_time");
        ratio("BM_Getprop_Bridge/real_time", "BM_Getprop_AdbClient/real_time");
        ratio("BM_Getprop50_Runner/real_time", "BM_Getprop50_AdbClient/real_time");
        ratio("BM_Getprop50_Bridge/real_time", "BM_Getprop50_AdbClient/real_time");
    }

  private:
    std::map<std::string, double> m_seconds;
};

}  // namespace

int main(int argc, char** argv) {
    // The ratios go with the readable table only; another format (json for
    // bench/run) keeps the library's own reporter and its clean output.
    bool console = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--benchmark_format=", 0) == 0 && arg != "--benchmark_format=console") {
            console = false;
        }
    }
    benchmark::Initialize(&argc, argv);
    rig();
    if (console) {
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}
