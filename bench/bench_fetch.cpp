// One download through the program's fetch, for bench/bench_download.sh,
// which serves the file and compares the rate with curl's.
//
//   ZK40_BENCH_URL=http://127.0.0.1:PORT/big.bin bench_fetch
//       [--benchmark_out=r.json --benchmark_out_format=json]
//
// Reports the rate in the counter "bytes_per_second" (wall-clock time of the
// whole fetch: opening, header, body, file writes) and the size in "bytes".
// ZK40_BENCH_KEEP=PATH keeps the downloaded file there for checking.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "update/Fetch.h"

namespace {

// Status texts are only counted: the display is not what is measured.
class CountingProgress : public zk40::IUpdateProgress {
public:
    void Status(const std::string& text) override {
        ++statuses;
        last = text;
    }
    void Progress(int) override {}
    void TimeRemaining(int) override {}
    long statuses = 0;
    std::string last;
};

void BM_FetchUrl(benchmark::State& state) {
    const char* url = std::getenv("ZK40_BENCH_URL");
    if (!url || !*url) {
        state.SkipWithError("set ZK40_BENCH_URL to the address to download");
        return;
    }
    for (auto _ : state) {
        std::string error;
        std::string dest = zk40::MakeTempFile("", &error);
        if (dest.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        CountingProgress progress;
        zk40::FetchOptions opt;
        auto start = std::chrono::steady_clock::now();
        bool ok = zk40::FetchUrl(url, dest, progress, opt, &error);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        struct stat st {};
        ::stat(dest.c_str(), &st);
        const char* keep = std::getenv("ZK40_BENCH_KEEP");
        if (ok && keep && *keep)
            std::rename(dest.c_str(), keep);
        else
            ::unlink(dest.c_str());
        if (!ok) {
            state.SkipWithError(error.c_str());
            return;
        }
        state.counters["bytes"] = static_cast<double>(st.st_size);
        state.counters["bytes_per_second"] = static_cast<double>(st.st_size) / seconds;
        state.counters["status_texts"] = static_cast<double>(progress.statuses);
    }
}
BENCHMARK(BM_FetchUrl)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
