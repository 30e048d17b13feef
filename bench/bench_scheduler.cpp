// Start delay and CPU cost of many jobs due at the same second, run through
// the real client core, the real "Run Program" module and real /bin/true
// processes.
//
//   build/bench/bench_scheduler [--jobs=1000]
//
// The delay of a job is measured from its due second to the moment the host
// receives the action's first status report ("Running ..."), which the
// module sends as the action starts: an upper bound of the start delay.
// rss_loaded_mb is the process with the jobs loaded, rss_peak_mb its peak
// while the burst runs (with the bench's own store and modules in it).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "base/Client.h"
#include "base/ClientView.h"
#include "store/AppStore.h"

using namespace zk40;

namespace {

int gJobs = 1000;

class TimingView : public IClientView {
public:
    void ShowStatus(const std::string&) override {}
    void ShowActionStatus(const std::string& job, const std::string&,
                          const std::string& text) override {
        if (text.rfind("Running", 0) == 0 && seen.insert(job).second)
            starts.push_back(std::chrono::system_clock::now());
    }
    std::set<std::string> seen;
    std::vector<std::chrono::system_clock::time_point> starts;
};

// A line of /proc/self/status in MB ("VmRSS", "VmHWM"); -1 when unreadable.
double StatusMb(const char* name) {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    double mb = -1;
    const size_t n = strlen(name);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, name, n) == 0 && line[n] == ':') mb = atof(line + n + 1) / 1024.0;
    fclose(f);
    return mb;
}

// Starts a new peak for VmHWM (Linux 4.0 and later).
void ResetPeakRss() {
    if (FILE* f = fopen("/proc/self/clear_refs", "w")) {
        fputs("5", f);
        fclose(f);
    }
}

double CpuSeconds() {
    rusage self{}, kids{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &kids);
    auto s = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return s(self.ru_utime) + s(self.ru_stime) + s(kids.ru_utime) + s(kids.ru_stime);
}

void BM_ManyJobsDueAtOnce(benchmark::State& state) {
    static int argc = 1;
    static char name[] = "bench";
    static char* argv[] = {name, nullptr};
    static QCoreApplication qapp(argc, argv);
    for (auto _ : state) {
        state.PauseTiming();
        char tmpl[] = "/tmp/zk40bench-XXXXXX";
        std::string root = mkdtemp(tmpl);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
        AppPaths paths = AppPaths::FromEnvironment();
        paths.MakeFolders();
        TimingView view;
        double cpu0, cpu1, rssLoaded, rssPeak;
        std::vector<double> delays;
        {
            TAppStore app(paths);
            TRegKey actions(app.product, "actions");
            std::filesystem::copy_file(ZK40_RUNPROGRAM_PATH, paths.actionsDir + "ZKA00001.dll");
            TRegKey mk(actions, "DNTRX-14\\RUNPROG");
            mk.SetString("FILENAME", "ZKA00001.dll");
            TRegKey(mk, "RUNPROGRAM").SetDword("LOADED", 1);
            // Due a little after setup is done (setup time grows with the
            // number of jobs; a job already due when the client starts would
            // measure the setup, not the scheduler).
            int64_t dueUnix = time(nullptr) + 3 + gJobs / 100;
            StoreTime due = FromUnixTime(dueUnix);
            app.Store()->Transaction([&] {
                for (int i = 0; i < gJobs; ++i) {
                    TJob job(app.jobs, actions);
                    job.Name = "job" + std::to_string(i);
                    job.SchedType = 9;
                    job.Time = due;
                    uint32_t h = job.AddAction("DNTRX-14", "RUNPROG", "RUNPROGRAM");
                    // Every setting stored, as the settings dialog leaves them.
                    job.SetProperty(h, {.Id = 1, .Code = 2, .Number = 0, .Text = "/bin/true"});
                    job.SetProperty(h, {.Id = 2, .Code = 2, .Number = 0, .Text = ""});
                    job.SetProperty(h, {.Id = 3, .Code = 2, .Number = 0, .Text = "/"});
                    job.SetProperty(h, {.Id = 4, .Code = 1, .Number = 0, .Text = ""});
                    job.SetProperty(h, {.Id = 5, .Code = 2, .Number = 0, .Text = "0"});
                    job.SetProperty(h, {.Id = 6, .Code = 1, .Number = 10, .Text = ""});
                }
                return true;
            });
            TZarkellClient client(app, paths, SystemClock::Instance(), view, nullptr);
            client.SetupWindow();
            if (time(nullptr) >= dueUnix)
                state.SkipWithError("setup took longer than the lead time");
            // The burst's own peak, over what the loaded jobs hold.
            rssLoaded = StatusMb("VmRSS");
            ResetPeakRss();
            cpu0 = CpuSeconds();
            state.ResumeTiming();
            auto dueTime = std::chrono::system_clock::from_time_t(static_cast<time_t>(dueUnix));
            // Let the real event loop run; a slow timer checks for the end
            // so the bench itself adds nothing to the CPU it measures.
            QEventLoop loop;
            QTimer check;
            QObject::connect(&check, &QTimer::timeout, [&] {
                bool done = static_cast<int>(view.starts.size()) >= gJobs &&
                            !client.AnyJobRunning() && client.RunningThreads() == 0;
                if (done || std::chrono::system_clock::now() > dueTime + std::chrono::seconds(120))
                    loop.quit();
            });
            check.start(200);
            loop.exec();
            state.PauseTiming();
            cpu1 = CpuSeconds();
            rssPeak = StatusMb("VmHWM");
            for (auto& t : view.starts)
                delays.push_back(std::chrono::duration<double>(t - dueTime).count());
            client.CloseWindow();
        }
        std::sort(delays.begin(), delays.end());
        auto pct = [&](double p) {
            return delays.empty() ? -1.0
                                  : delays[std::min(delays.size() - 1,
                                                    static_cast<size_t>(p * delays.size()))];
        };
        state.counters["jobs_started"] = static_cast<double>(delays.size());
        state.counters["delay_median_s"] = pct(0.5);
        state.counters["delay_min_s"] = pct(0.0);
        state.counters["delay_p99_s"] = pct(0.99);
        state.counters["delay_max_s"] = delays.empty() ? -1 : delays.back();
        state.counters["cpu_s_total"] = cpu1 - cpu0;
        state.counters["cpu_ms_per_job"] = (cpu1 - cpu0) * 1000.0 / gJobs;
        state.counters["rss_loaded_mb"] = rssLoaded;
        state.counters["rss_peak_mb"] = rssPeak;
        std::filesystem::remove_all(root);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ManyJobsDueAtOnce)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "--jobs=", 7) == 0) gJobs = atoi(argv[i] + 7);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
