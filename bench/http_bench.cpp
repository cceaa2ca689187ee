// Cost of reading a phone's information: one raw request to the simulated
// companion service on loopback, the decode+decrypt+JSON of a typical
// reply, and the two together; plus one libcurl file-information request.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "companion_http.h"
#include "companion_service.h"
#include "deviceinfo/android_device_info.h"
#include "deviceinfo/info_cipher.h"
#include "deviceinfo/raw_http_client.h"
#include "deviceinfo/service_requests.h"

namespace {

// Each request is a new loopback connection that leaves a TIME_WAIT entry
// behind for a minute; a fixed count keeps the benchmarks far from using up
// the ephemeral ports (and from disturbing whatever runs after them).
constexpr int kConnections = 2000;

std::string typicalReply() {
    return phonesim::sealInfoReply(phonesim::infoJson(phonesim::PhoneConfig()), dd::kInfoCipherKey);
}

void BM_RawRequestInfo(benchmark::State& state) {
    phonesim::CompanionService service;
    service.start();
    const std::string url = "http://127.0.0.1:" + std::to_string(service.port()) + "/info/";
    std::vector<char> out(4196);
    qxurllib2 client;
    for (auto _ : state) {
        if (client.dohttpRequest("GET", url, nullptr, 0, out.data(), out.size()) != 1) {
            state.SkipWithError("request failed");
            break;
        }
    }
}
BENCHMARK(BM_RawRequestInfo)->Unit(benchmark::kMicrosecond)->Iterations(kConnections);

void BM_ParseInfoReply(benchmark::State& state) {
    const std::string reply = typicalReply();
    AndroidDeviceInfo info;
    for (auto _ : state) {
        if (info.parseInfoReply(reply) != 1) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
    state.counters["reply_bytes"] = static_cast<double>(reply.size());
}
BENCHMARK(BM_ParseInfoReply)->Unit(benchmark::kMicrosecond);

void BM_Base64AndAesOnly(benchmark::State& state) {
    const std::string reply = typicalReply();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dd::AesDecryptEcb(dd::kInfoCipherKey, dd::Base64Decode(reply)));
    }
}
BENCHMARK(BM_Base64AndAesOnly)->Unit(benchmark::kMicrosecond);

void BM_QueryDeviceInfo(benchmark::State& state) {
    phonesim::CompanionService service;
    service.start();
    AndroidDeviceInfo info;
    for (auto _ : state) {
        if (info.QueryDeviceInfo("127.0.0.1", service.port(), service.port(), "k") != 1) {
            state.SkipWithError("query failed");
            break;
        }
    }
}
BENCHMARK(BM_QueryDeviceInfo)->Unit(benchmark::kMicrosecond)->Iterations(kConnections);

void BM_CurlGetFileInfo(benchmark::State& state) {
    phonesim::CompanionService service;
    service.start();
    service.putFile("/sdcard/.orqsync/android.dat", "user@pc|0a1b2c3d|WD12");
    ServiceEndpoint endpoint("127.0.0.1", service.port());
    for (auto _ : state) {
        int64_t size = 0;
        if (endpoint.GetFileInfo("/filesystem/file/sdcard/.orqsync/android.dat", nullptr, &size,
                                 nullptr) != ServiceResult::Ok) {
            state.SkipWithError("listing failed");
            break;
        }
    }
}
BENCHMARK(BM_CurlGetFileInfo)->Unit(benchmark::kMicrosecond)->Iterations(kConnections);

}  // namespace

BENCHMARK_MAIN();
