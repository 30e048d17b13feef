#pragma once
// The threads that carry out job runs. A burst of a thousand due jobs is
// worked through by a handful of threads taking one run after another, so
// it does not cost a thousand threads each touching a stack of its own and
// all competing for the processor at once. A run that blocks (an action
// waiting for a long program) makes room for more threads after a short
// while, so the runs queued behind it still start.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace zk40 {

// One queued piece of work; Execute runs on one of the runner threads.
class TJobRun {
public:
    virtual ~TJobRun() = default;
    virtual void Execute() = 0;
};

class TJobRunners {
public:
    struct Tuning {
        // Runners that work through the queue before any run has blocked.
        size_t base = 0;  // 0: from the number of processors
        // A run busy this long counts as blocking, and room is made for the
        // runs behind it.
        std::chrono::milliseconds blockedAfter{250};
        // An idle runner ends after this long without work.
        std::chrono::milliseconds linger{5000};
        // Stack of each runner (the job thread's stack, see the module SDK).
        size_t stackBytes = 0;
        // Priority level of the runners (see TThread::SetPriorityLevel).
        int priorityLevel = -1;
    };

    TJobRunners();
    explicit TJobRunners(const Tuning& tuning);
    // Waits for every runner to end; runs still queued are dropped (their
    // owners wait for them first).
    ~TJobRunners();
    TJobRunners(const TJobRunners&) = delete;
    TJobRunners& operator=(const TJobRunners&) = delete;

    // Queues a run. Throws TThread::TThreadError when no runner exists and
    // none can be started: then the run will never execute.
    void Submit(TJobRun* run);
    // Threads alive now (runners only); for tests and benchmarks.
    size_t Threads() const;

private:
    class TRunner;
    class TWatch;
    using Clock = std::chrono::steady_clock;

    // Both under mutex_.
    void StartRunnersLocked(size_t count);
    void ReapRetiredLocked(std::vector<std::unique_ptr<TRunner>>* out);
    void RunnerLoop(TRunner& self);
    void WatchLoop();

    Tuning tuning_;
    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable watchWake_;
    std::deque<TJobRun*> queue_;
    std::vector<std::unique_ptr<TRunner>> runners_;
    std::vector<std::unique_ptr<TRunner>> retired_;
    std::unique_ptr<TWatch> watch_;
    bool watching_ = false;
    size_t idle_ = 0;
    bool closing_ = false;
};

}  // namespace zk40
