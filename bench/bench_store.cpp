// Store figures on a real store file: how many bound-value writes reach the
// file per second, how cheap a cached read is, and whether walking a big key
// one index at a time stays linear (constant cost per index).
//
//   build/bench/bench_store --benchmark_counters_tabular=true
//
// The store lives in a fresh folder under $TMPDIR (default /tmp), so the
// file system there decides the write figures.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "store/RegValue.h"
#include "store/Store.h"

using namespace zk40;

namespace {

class BenchStore {
public:
    BenchStore() {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/zk40bench-XXXXXX";
        if (mkdtemp(tmpl.data())) dir_ = tmpl;
        std::string error;
        store_ = TStore::Open(dir_ + "/zarkell40/store.db", &error);
        if (!store_) std::fprintf(stderr, "cannot open bench store: %s\n", error.c_str());
    }
    ~BenchStore() {
        store_.reset();
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    TStore* get() const { return store_.get(); }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    std::unique_ptr<TStore> store_;
};

constexpr char kBase[] = "Software\\DENTRAX-14\\Zarkell'40\\base";

void SetRate(benchmark::State& state, const char* name) {
    state.counters[name] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// One committed transaction per write, as every caller of a bound value gets.
void BM_DwordWriteThrough(benchmark::State& state) {
    BenchStore s;
    TRegKey key(s.get(), kBase);
    TRegDword value(key, "LastBaseUpdate", 1);
    uint32_t n = 0;
    for (auto _ : state) {
        if (value.Set(++n) != kRegOk) {
            state.SkipWithError("write failed");
            break;
        }
    }
    SetRate(state, "writes");
}
BENCHMARK(BM_DwordWriteThrough)->UseRealTime();

void BM_StringWriteThrough(benchmark::State& state) {
    BenchStore s;
    TRegKey key(s.get(), kBase);
    TRegString value(key, "CommandLine", "");
    std::string text[2] = {"/runjob:\"Nightly backup of the documents folder\"",
                           "/runjob:\"Weekly report to the office server\""};
    size_t n = 0;
    for (auto _ : state) {
        if (value.Set(text[++n & 1]) != kRegOk) {
            state.SkipWithError("write failed");
            break;
        }
    }
    SetRate(state, "writes");
}
BENCHMARK(BM_StringWriteThrough)->UseRealTime();

void BM_DwordCachedRead(benchmark::State& state) {
    BenchStore s;
    TRegKey key(s.get(), kBase);
    TRegDword value(key, "Flags", 15);
    for (auto _ : state) benchmark::DoNotOptimize(value.Get());
    SetRate(state, "reads");
}
BENCHMARK(BM_DwordCachedRead)->UseRealTime();

void BM_StringCachedRead(benchmark::State& state) {
    BenchStore s;
    TRegKey key(s.get(), kBase);
    TRegString value(key, "URLADDON", "?CURVER=[CURVER]");
    for (auto _ : state) benchmark::DoNotOptimize(value.Get().size());
    SetRate(state, "reads");
}
BENCHMARK(BM_StringCachedRead)->UseRealTime();

// For comparison: a read that goes to the store file every time.
void BM_DwordReloadFromStore(benchmark::State& state) {
    BenchStore s;
    TRegKey key(s.get(), kBase);
    TRegDword value(key, "Flags", 15);
    for (auto _ : state) benchmark::DoNotOptimize(value.Reload());
    SetRate(state, "reads");
}
BENCHMARK(BM_DwordReloadFromStore)->UseRealTime();

// Makes `count` subkeys in one transaction (named like job keys).
bool MakeSubKeys(TStore* store, const TRegKey& key, int count) {
    return store->Transaction([&] {
        char name[16];
        for (int i = 0; i < count; ++i) {
            std::snprintf(name, sizeof name, "%08X", i);
            if (!TRegKey(key, name).IsValid()) return false;
        }
        return true;
    });
}

void EnumCounters(benchmark::State& state, int count) {
    using benchmark::Counter;
    state.counters["subkeys"] = count;
    state.counters["indices"] = Counter(count, Counter::kIsIterationInvariantRate);
    state.counters["per_index"] =
        Counter(count, Counter::kIsIterationInvariantRate | Counter::kInvert);
}

// Walks a key the way the job list does: EnumSubKey(i) for i = 0, 1, ...
// Each iteration is one whole walk; per_index is the time of one call.
void BM_EnumSubKeysByIndex(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    BenchStore s;
    TRegKey key(s.get(), "Software\\DENTRAX-14\\Zarkell'40\\jobs");
    if (!MakeSubKeys(s.get(), key, count)) {
        state.SkipWithError("cannot make subkeys");
        return;
    }
    std::string name;
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) {
            if (key.EnumSubKey(static_cast<uint32_t>(i), &name, 9) != kRegOk) {
                state.SkipWithError("enumeration ended early");
                return;
            }
        }
        benchmark::DoNotOptimize(name.data());
    }
    if (key.EnumSubKey(static_cast<uint32_t>(count), &name, 9) != kRegNoMoreItems)
        state.SkipWithError("enumeration did not end");
    EnumCounters(state, count);
}
BENCHMARK(BM_EnumSubKeysByIndex)
    ->Arg(1000)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The same walk right after another process changed the store, so the
// first call must read the names afresh.
void BM_EnumSubKeysAfterOutsideWrite(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    BenchStore s;
    TRegKey key(s.get(), "Software\\DENTRAX-14\\Zarkell'40\\jobs");
    if (!MakeSubKeys(s.get(), key, count)) {
        state.SkipWithError("cannot make subkeys");
        return;
    }
    auto other = TStore::Open(s.get()->Path());
    TRegKey otherBase(other.get(), kBase);
    std::string name;
    uint32_t n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        otherBase.SetDword("Touch", ++n);
        state.ResumeTiming();
        for (int i = 0; i < count; ++i) {
            if (key.EnumSubKey(static_cast<uint32_t>(i), &name, 9) != kRegOk) {
                state.SkipWithError("enumeration ended early");
                return;
            }
        }
        benchmark::DoNotOptimize(name.data());
    }
    EnumCounters(state, count);
}
BENCHMARK(BM_EnumSubKeysAfterOutsideWrite)
    ->Arg(1000)
    ->Arg(10000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
