// Job records and the next-run computation:
//  - ComputeNextRun per call for each schedule kind (and the worst case: a
//    schedule that can never fire and so searches a whole week of steps);
//  - opening 10,000 jobs of 5 actions each from a store file;
//  - memory per loaded job with its actions (heap bytes and resident bytes).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "jobs/Job.h"
#include "jobs/NextRun.h"
#include "store/Store.h"

using namespace zk40;

namespace {

constexpr int kJobs = 10000;
constexpr int kActionsPerJob = 5;
const char* const kJobsPath = "Software\\DENTRAX-14\\Zarkell'40\\jobs";
const char* const kActionsPath = "Software\\DENTRAX-14\\Zarkell'40\\actions";

StoreTime At(int h, int m, int s = 0) { return ToStoreTime(2024, 6, 3, h, m, s); }

// A schedule of each kind as it looks right after a run, computed a few
// minutes later: the common case on every reap.
NextRunInput TypicalInput(uint32_t kind) {
    NextRunInput in;
    in.SchedType = kind;
    in.Time = ToStoreTime(2024, 1, 15, 8, 30);
    in.Hour = 1;
    in.Minute = 30;
    in.LastRun = At(16, 45);
    in.StartTime = At(8, 0);
    in.StopTime = At(17, 0);
    in.Flags = 0x104;  // weekend excluded
    return in;
}

void BM_ComputeNextRun(benchmark::State& state) {
    static const char* const kNames[] = {"",      "manual", "startup", "monthly", "weekly",
                                         "daily", "hourly", "every",   "yearly",  "once"};
    const uint32_t kind = static_cast<uint32_t>(state.range(0));
    const NextRunInput in = TypicalInput(kind);
    const StoreTime now = At(16, 50);
    const StoreTime start = At(16, 49, 30);
    for (auto _ : state) benchmark::DoNotOptimize(ComputeNextRun(in, now, start));
    state.SetLabel(kNames[kind]);
}
BENCHMARK(BM_ComputeNextRun)->DenseRange(1, 9);

void BM_ComputeNextRunCannotFire(benchmark::State& state) {
    // Every 13 minutes inside a window of 30 seconds that no step ever meets.
    NextRunInput in;
    in.SchedType = kSchedEvery;
    in.Minute = 13;
    in.LastRun = At(9, 0, 10);
    in.StartTime = At(8, 0, 5);
    in.StopTime = At(8, 0, 35);
    const StoreTime now = At(9, 5);
    for (auto _ : state) {
        NextRunResult r = ComputeNextRun(in, now, 0);
        if (r.NextRun != kNeverTime) state.SkipWithError("expected the never time");
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_ComputeNextRunCannotFire);

// A store with 10,000 jobs of 5 actions each, every value present and each
// action with two property values, made once per run of the benchmark.
class TJobStoreFile {
public:
    TJobStoreFile() {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/zk40bench-XXXXXX";
        if (!mkdtemp(tmpl.data())) std::abort();
        dir_ = tmpl;
        path_ = dir_ + "/store.db";
        std::unique_ptr<TStore> store = TStore::Open(path_);
        TRegKey jobs(store.get(), kJobsPath);
        const StoreTime day = ToStoreTime(2024, 6, 3);
        store->Transaction([&] {
            for (int id = 0; id < kJobs; ++id) {
                TRegKey job(jobs, TJob::KeyNameOf(static_cast<uint32_t>(id)));
                job.SetString("Name", "Nightly backup of the accounts folder");
                const std::pair<const char*, uint32_t> numbers[] = {{"Flags", 3},
                                                                    {"SchedType", 5},
                                                                    {"Time", day + 3600},
                                                                    {"Hour", 1},
                                                                    {"Minute", 0},
                                                                    {"LastRun", day},
                                                                    {"NextRun", day},
                                                                    {"State", 5},
                                                                    {"NumActions", kActionsPerJob},
                                                                    {"StartTime", day},
                                                                    {"StopTime", day + 86399},
                                                                    {"LastStat", 0},
                                                                    {"RetryCount", 0},
                                                                    {"RetryDelay", 0}};
                job.SetString("Password", "");
                for (const auto& [name, value] : numbers) job.SetDword(name, value);
                for (int n = 1; n <= kActionsPerJob; ++n) {
                    TRegKey action(job, TAction::KeyName(static_cast<uint32_t>(n)));
                    action.SetString("Name", "Copy files");
                    action.SetString("Status", "Action Completed.");
                    action.SetString("Status2", "");
                    action.SetDword("Percent", 100);
                    action.SetDword("LastStat", 0);
                    action.SetString("VendorID", "DX14");
                    action.SetString("ModuleID", "FILES");
                    action.SetString("ActionID", "COPY");
                    TRegKey rid(action, "RID");
                    rid.SetString("RID-0001", "/srv/accounts");
                    rid.SetDword("RID-0002", 1);
                }
            }
            return true;
        });
    }
    ~TJobStoreFile() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string& Path() const { return path_; }

private:
    std::string dir_, path_;
};

const TJobStoreFile& JobStore() {
    static TJobStoreFile file;
    return file;
}

std::vector<uint32_t> JobIds(const TRegKey& jobs) {
    std::vector<std::string> names;
    jobs.Store()->ListSubKeys(jobs.Id(), &names);
    std::vector<uint32_t> ids;
    ids.reserve(names.size());
    for (const auto& n : names) ids.push_back(static_cast<uint32_t>(std::stoul(n, nullptr, 16)));
    return ids;
}

size_t HeapInUse() { return mallinfo2().uordblks; }

size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// The least any loader must do: open every job and action key and read all
// its values. Loading jobs is reported as a multiple of this, a figure that
// stays put on a busy machine where the milliseconds do not.
double RawReadSeconds(const TRegKey& jobs, const std::vector<uint32_t>& ids) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<RegNamedValue> values;
    size_t count = 0;
    for (uint32_t id : ids) {
        // One transaction per job, as the job's constructor takes.
        jobs.Store()->Transaction([&] {
            TRegKey job(jobs, TJob::KeyNameOf(id), false);
            job.Store()->LoadValues(job.Id(), &values);
            count += values.size();
            for (uint32_t n = 1; n <= kActionsPerJob; ++n) {
                TRegKey action(job, TAction::KeyName(n), false);
                action.Store()->LoadValues(action.Id(), &values);
                count += values.size();
            }
            return true;
        });
    }
    benchmark::DoNotOptimize(count);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_OpenJobs(benchmark::State& state) {
    const std::string& path = JobStore().Path();
    FixedClock clock(ToStoreTime(2024, 6, 3, 12, 0));
    double heapPerJob = 0, rssPerJob = 0, loadSeconds = 0, rawSeconds = 0;
    for (auto _ : state) {
        // A fresh connection each time, as at program start (the file itself
        // is in the page cache by then, as it usually is after a restart).
        std::unique_ptr<TStore> store = TStore::Open(path);
        TRegKey jobs(store.get(), kJobsPath);
        TRegKey actions(store.get(), kActionsPath);
        const std::vector<uint32_t> ids = JobIds(jobs);
        std::vector<std::unique_ptr<TJob>> loaded;
        loaded.reserve(ids.size());
        malloc_trim(0);
        const size_t heapBefore = HeapInUse();
        const size_t rssBefore = ResidentBytes();
        const auto start = std::chrono::steady_clock::now();
        auto loadAll = [&] {
            for (uint32_t id : ids)
                loaded.push_back(std::make_unique<TJob>(jobs, actions, id, clock));
            return true;
        };
        if (state.range(0) == 1)
            store->Transaction(loadAll);
        else
            loadAll();
        state.PauseTiming();
        loadSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (loaded.size() != kJobs || loaded.back()->ActionCount() != kActionsPerJob)
            state.SkipWithError("store did not load as made");
        heapPerJob = double(HeapInUse() - heapBefore) / double(loaded.size());
        rssPerJob = double(ResidentBytes() - rssBefore) / double(loaded.size());
        loaded.clear();
        rawSeconds += RawReadSeconds(jobs, ids);
        state.ResumeTiming();
    }
    state.counters["x_raw_read"] = loadSeconds / rawSeconds;
    state.counters["jobs"] = kJobs;
    state.counters["heap_bytes_per_job"] = heapPerJob;
    state.counters["rss_bytes_per_job"] = rssPerJob;
    state.counters["sizeof_TJob"] = sizeof(TJob);
    state.counters["sizeof_TAction"] = sizeof(TAction);
}
// 0: each job in its own transaction (what the constructor does alone);
// 1: the caller wraps the whole start-up load in one.
BENCHMARK(BM_OpenJobs)
    ->ArgName("one_transaction")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
