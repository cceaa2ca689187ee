// How long a change of the host's sync status takes to reach the phone over
// the sync-status link, and how long a stop takes to end the link's worker.
// The link tells the phone only at a quiet second, so a change waits up to
// about one second; the figures show where in that second changes land.
//
//   build/bin/sync_link_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "android/sync_server.h"
#include "sync_tool.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Link {
    phonesim::SyncTool phone;
    uint16_t port = 0;
    std::atomic<int32_t> status{-1};
    std::atomic<int32_t> stopped{1};
    std::unique_ptr<dd::android::SyncServerThread> server;

    bool open() {
        if (!phone.start()) {
            return false;
        }
        port = phone.syncPort();
        server = std::make_unique<dd::android::SyncServerThread>(dd::android::SyncServerLinks{
            port, status, stopped, [] {}, [](const std::string&, int32_t) {}});
        return server->start() && phone.waitForSyncLink(1, std::chrono::seconds(10));
    }
};

// The change lands at a random moment of the link's second (the host calls
// whenever it likes): the mean is about half a second, the worst about one.
void BM_StatusChangeToPhone(benchmark::State& state) {
    Link link;
    if (!link.open()) {
        state.SkipWithError("no sync link");
        return;
    }
    std::mt19937 random(7990);
    std::uniform_int_distribution<int> phase(0, 999);
    double worst = 0;
    int32_t next = 0;
    for (auto _ : state) {
        // Not a test: the pause only spreads the changes over the second.
        std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
        link.phone.clearSyncReceived();
        const char* expected = next == 0 ? "SYNC_STARTED\r\n" : "READY_TO_SYNC\r\n";
        Clock::time_point changed = Clock::now();
        link.status.store(next);
        link.server->statusChanged();  // as the host's call does
        if (!link.phone.waitForSyncReceived(expected, std::chrono::seconds(5))) {
            state.SkipWithError("status never reached the phone");
            return;
        }
        double seconds = std::chrono::duration<double>(Clock::now() - changed).count();
        worst = std::max(worst, seconds);
        state.SetIterationTime(seconds);
        next = next == 0 ? 2 : 0;
    }
    state.counters["worst_ms"] = worst * 1000;
}
BENCHMARK(BM_StatusChangeToPhone)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

// A stop request ends the worker's one-second wait at once.
void BM_StopToJoined(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Link link;
        if (!link.open()) {
            state.SkipWithError("no sync link");
            return;
        }
        state.ResumeTiming();
        link.server->requestStop();
        link.server->join();
        state.PauseTiming();
        link.server.reset();
        link.phone.stop();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StopToJoined)->Iterations(20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
