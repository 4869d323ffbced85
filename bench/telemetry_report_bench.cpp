// The caller's cost of reporting a statistics event while the uploader runs:
// formatting the body, counting the increases and queueing, from 1 and 8
// threads at once. The uploader posts to a closed loopback port meanwhile, so
// nothing here waits for a server.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "telemetry/report_event.h"

namespace {

void StartOnce() {
    static bool started = [] {
        char pattern[] = "/tmp/zl-telemetry-bench-XXXXXX";
        const std::string dir = mkdtemp(pattern);
        const std::string config = dir + "/Serverlist.ini";
        std::ofstream(config) << "[SubmitEventDownload]\nInputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n"
                                 "[SubmitEventDownloadSeveral]\nSubmitUrl=http://127.0.5.1:1/zlsubmit/eventListSubmit\n";
        zl::TelemetrySettings settings;
        settings.config_path = config;
        settings.texts = {"TV", "1.2.3.4", "5.6", "bench"};
        settings.max_queued_events = 1u << 20;  // every event is queued, none dropped
        return zl::StartTelemetry(settings);
    }();
    if (!started) std::abort();
}

void BM_ReportEvent(benchmark::State& state) {
    if (state.thread_index() == 0) StartOnce();
    uint64_t bytes = static_cast<uint64_t>(state.thread_index()) << 32;
    for (auto _ : state) {
        bytes += 16384;
        zl::ReportEvent("11030000", "127.0.5.9", "206", 120, bytes, 1 << 20, "42.5%", bytes / 2, 1 << 19, bytes / 2,
                        1 << 19, 0, "/home/user/Talvora/data1.pak", "http://127.0.5.9/data1.pak",
                        "a \"quoted\" error\n", 0);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReportEvent)->Threads(1)->Threads(8)->Iterations(20000)->UseRealTime();

void BM_ReportEventText(benchmark::State& state) {
    if (state.thread_index() == 0) StartOnce();
    for (auto _ : state) zl::ReportEventText("11390001", "no UPnP needed: 127.0.5.9");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReportEventText)->Threads(8)->Iterations(20000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
