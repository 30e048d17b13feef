#include "scheduler/JobRunners.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "support/Thread.h"
#include "zk40/module.h"

namespace zk40 {

class TJobRunners::TRunner : public TThread {
public:
    explicit TRunner(TJobRunners& pool) : pool_(pool) {}
    ~TRunner() override { WaitForEnd(-1); }

    // Under the pool's mutex: when the current run was picked up, and
    // whether there is one.
    bool busy = false;
    Clock::time_point since;

protected:
    int Run() override {
        pool_.RunnerLoop(*this);
        return 0;
    }

private:
    TJobRunners& pool_;
};

class TJobRunners::TWatch : public TThread {
public:
    explicit TWatch(TJobRunners& pool) : pool_(pool) {}
    ~TWatch() override { WaitForEnd(-1); }

protected:
    int Run() override {
        pool_.WatchLoop();
        return 0;
    }

private:
    TJobRunners& pool_;
};

namespace {
size_t DefaultBase() {
    // A run spends most of its time waiting for the program its action
    // started, so it takes many runners per processor to keep starting
    // programs; beyond that they only take turns and hold memory.
    const size_t cpus = std::max(1u, std::thread::hardware_concurrency());
    return std::clamp<size_t>(16 * cpus, 16, 64);
}
// Whether fewer threads are ready to run than there are processors (the
// kernel's count includes the caller).
bool SpareProcessor() {
    FILE* f = fopen("/proc/stat", "re");
    if (!f) return true;
    char line[256];
    long running = -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "procs_running %ld", &running) == 1) break;
    fclose(f);
    const long cpus = std::max(1u, std::thread::hardware_concurrency());
    return running < 0 || running - 1 < cpus;
}
}  // namespace

TJobRunners::TJobRunners() : TJobRunners(Tuning{}) {}

TJobRunners::TJobRunners(const Tuning& tuning) : tuning_(tuning) {
    if (tuning_.base == 0) tuning_.base = DefaultBase();
    if (tuning_.stackBytes == 0) tuning_.stackBytes = ZK_JOB_THREAD_STACK_SIZE;
}

TJobRunners::~TJobRunners() {
    std::vector<std::unique_ptr<TRunner>> all;
    std::unique_ptr<TWatch> watch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        queue_.clear();
        all = std::move(runners_);
        for (auto& r : retired_) all.push_back(std::move(r));
        retired_.clear();
        watch = std::move(watch_);
    }
    work_.notify_all();
    watchWake_.notify_all();
    // Joined outside the lock: a runner finishing its last run takes it.
    all.clear();
    watch.reset();
}

void TJobRunners::Submit(TJobRun* run) {
    std::vector<std::unique_ptr<TRunner>> reaped;
    std::unique_ptr<TWatch> oldWatch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ReapRetiredLocked(&reaped);
        queue_.push_back(run);
        if (idle_ >= queue_.size()) {
            work_.notify_one();
        } else if (runners_.size() < tuning_.base) {
            try {
                StartRunnersLocked(1);
            } catch (...) {
                // With no runner at all the run would wait for ever.
                if (runners_.empty()) {
                    queue_.pop_back();
                    throw;
                }
            }
        } else if (!watching_) {
            // Every runner is busy: someone has to notice if they stay so.
            if (watch_) oldWatch = std::move(watch_);
            watch_ = std::make_unique<TWatch>(*this);
            watch_->SetStackSize(64 * 1024);
            try {
                watch_->Start();
                watching_ = true;
            } catch (...) {
                // The runners still work through the queue; only a run that
                // blocks them all is not made room for.
                watch_.reset();
            }
        }
    }
    // Ended threads are joined outside the lock (they may still be taking
    // it on their way out).
    reaped.clear();
    oldWatch.reset();
}

size_t TJobRunners::Threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return runners_.size();
}

void TJobRunners::StartRunnersLocked(size_t count) {
    for (size_t i = 0; i < count; ++i) {
        auto r = std::make_unique<TRunner>(*this);
        r->SetStackSize(tuning_.stackBytes);
        r->Start();  // throws when the platform refuses
        r->SetPriorityLevel(tuning_.priorityLevel);
        runners_.push_back(std::move(r));
    }
}

void TJobRunners::ReapRetiredLocked(std::vector<std::unique_ptr<TRunner>>* out) {
    for (auto& r : retired_) out->push_back(std::move(r));
    retired_.clear();
}

void TJobRunners::RunnerLoop(TRunner& self) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++idle_;
        work_.wait_for(lock, tuning_.linger, [&] { return closing_ || !queue_.empty(); });
        --idle_;
        if (closing_) return;
        if (queue_.empty()) {
            // Nothing came for a while: this thread ends and gives its stack
            // back. It is joined by the next Submit or at the end.
            auto it = std::find_if(runners_.begin(), runners_.end(),
                                   [&](const auto& r) { return r.get() == &self; });
            if (it != runners_.end()) {
                retired_.push_back(std::move(*it));
                runners_.erase(it);
            }
            return;
        }
        TJobRun* run = queue_.front();
        queue_.pop_front();
        self.busy = true;
        self.since = Clock::now();
        lock.unlock();
        run->Execute();
        lock.lock();
        self.busy = false;
    }
}

void TJobRunners::WatchLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        watchWake_.wait_for(lock, tuning_.blockedAfter / 2,
                            [&] { return closing_ || queue_.empty(); });
        if (closing_ || queue_.empty()) {
            watching_ = false;
            return;
        }
        if (idle_ > 0) continue;
        // A run busy for a while may be blocked, or only waiting its turn for
        // a processor in a burst. More runners help only the first: so with
        // every processor busy, runs count as blocked only much later.
        const auto now = Clock::now();
        const auto after = SpareProcessor() ? tuning_.blockedAfter : 8 * tuning_.blockedAfter;
        size_t blocked = 0;
        for (const auto& r : runners_) blocked += r->busy && now - r->since >= after;
        const size_t working = runners_.size() - blocked;
        if (working >= tuning_.base) continue;
        // Runs that block for a while are likely followed by more of their
        // kind: double the runners rather than add one a round.
        const size_t more =
            std::min(queue_.size(), std::max(tuning_.base - working, runners_.size()));
        try {
            StartRunnersLocked(more);
        } catch (...) {
            // The platform refuses more threads; the queue waits for the
            // runners there are.
        }
    }
}

}  // namespace zk40
