// Parsing an update configuration file of about 1 MB into a real store file:
// how many bytes and lines per second reach the store, first into an empty
// store and again over the same data (the daily case), against a pass that
// only reads the file (FindIncludes), which shows what the store costs.
//
//   build/bench/bench_parse --benchmark_counters_tabular=true
//
// The store lives in a fresh folder under $TMPDIR (default /tmp).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "store/AppStore.h"
#include "store/Store.h"
#include "update/ConfigParser.h"

using namespace zk40;

namespace {

class NullProgress : public IUpdateProgress {
public:
    void Status(const std::string&) override {}
    void Progress(int) override {}
    void TimeRemaining(int) override {}
};

// A configuration as the server writes it: the program's own lines, then
// vendors with their modules and actions, a comment here and there, a
// description continued with "+", line breaks written as "\".
std::string MakeConfig(size_t atLeast, size_t* lines) {
    std::string text =
        "# Zarkell'40 update configuration\nAVAILVER:4180\n"
        "URL:http://update.example.net/zk40/zk40-4180.exe\nNEXT-UPDATE:03/14/2026 02:30\n";
    *lines = 4;
    char buf[256];
    auto add = [&] {
        text += buf;
        ++*lines;
    };
    for (int v = 0; text.size() < atLeast; ++v) {
        std::snprintf(buf, sizeof buf, "\n// vendor %d\nVENDORID:VND%04d\n", v, v);
        text += buf;
        *lines += 3;
        std::snprintf(buf, sizeof buf, "VENDOR:Example Software Vendor Number %d\n", v);
        add();
        for (int m = 0; m < 8; ++m) {
            std::snprintf(buf, sizeof buf, "MODULEID:MOD%02d\n", m);
            add();
            std::snprintf(buf, sizeof buf, "AVAILVER:%d\n", 100 + m);
            add();
            std::snprintf(buf, sizeof buf,
                          "URL:http://update.example.net/modules/vnd%04d/mod%02d.zkz\n", v, m);
            add();
            std::snprintf(buf, sizeof buf, "MINBASE:4000\n");
            add();
            for (int a = 0; a < 4; ++a) {
                std::snprintf(buf, sizeof buf, "ACTIONID:ACT%02d\n", a);
                add();
                std::snprintf(buf, sizeof buf,
                              "DESC:Copies the files of folder %d to the backup server\\"
                              "and checks them\n",
                              a);
                add();
                std::snprintf(buf, sizeof buf, "+DESC: (vendor %d, module %d)\n", v, m);
                add();
                std::snprintf(buf, sizeof buf, "ACTDATAVER:%d\n", 7 + a);
                add();
                std::snprintf(
                    buf, sizeof buf,
                    "ACTDATAURL:http://update.example.net/data/vnd%04d/mod%02d/act%02d.txt\n", v, m,
                    a);
                add();
            }
        }
    }
    return text;
}

class BenchFiles {
public:
    BenchFiles() {
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/zk40bench-XXXXXX";
        if (mkdtemp(tmpl.data())) dir_ = tmpl;
        text_ = MakeConfig(1 << 20, &lines_);
        std::ofstream(ConfigPath(), std::ios::binary) << text_;
        std::string error;
        store_ = TStore::Open(dir_ + "/zarkell40/store.db", &error);
        if (!store_) std::fprintf(stderr, "cannot open bench store: %s\n", error.c_str());
    }
    ~BenchFiles() {
        store_.reset();
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    std::string ConfigPath() const { return dir_ + "/config.txt"; }
    TStore* Store() const { return store_.get(); }
    size_t Bytes() const { return text_.size(); }
    size_t Lines() const { return lines_; }

private:
    std::string dir_;
    std::string text_;
    size_t lines_ = 0;
    std::unique_ptr<TStore> store_;
};

void SetCounters(benchmark::State& state, const BenchFiles& f) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.Bytes()));
    state.counters["lines"] = benchmark::Counter(
        static_cast<double>(state.iterations() * f.Lines()), benchmark::Counter::kIsRate);
    state.counters["file_kB"] = static_cast<double>(f.Bytes()) / 1024;
}

// Into an empty store: every key and value is new.
void BM_ParseConfigIntoEmptyStore(benchmark::State& state) {
    BenchFiles f;
    TRegKey product(f.Store(), kProductKeyPath);
    NullProgress progress;
    for (auto _ : state) {
        state.PauseTiming();
        product.DeleteSubKeyTree("actions");
        product.DeleteSubKeyTree("config");
        state.ResumeTiming();
        if (!ParseConfigFile(f.ConfigPath(), product, {}, progress)) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    SetCounters(state, f);
}
BENCHMARK(BM_ParseConfigIntoEmptyStore)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same file again: every value is overwritten in place.
void BM_ParseConfigOverSameData(benchmark::State& state) {
    BenchFiles f;
    TRegKey product(f.Store(), kProductKeyPath);
    NullProgress progress;
    ParseConfigFile(f.ConfigPath(), product, {}, progress);
    for (auto _ : state) {
        if (!ParseConfigFile(f.ConfigPath(), product, {}, progress)) {
            state.SkipWithError("parse failed");
            break;
        }
    }
    SetCounters(state, f);
}
BENCHMARK(BM_ParseConfigOverSameData)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reading and splitting the lines alone, no store.
void BM_ReadConfigOnly(benchmark::State& state) {
    BenchFiles f;
    for (auto _ : state) benchmark::DoNotOptimize(FindIncludes(f.ConfigPath()));
    SetCounters(state, f);
}
BENCHMARK(BM_ReadConfigOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
