#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Process.h"
#include "scheduler/JobRunners.h"

namespace zk40 {
namespace {
using zk40test::WaitFor;

struct Runs;

// A run that records the thread it ran on and then does what the test says.
class RecordingRun : public TJobRun {
public:
    RecordingRun(std::function<void()> body, Runs& all) : body_(std::move(body)), all_(all) {}
    void Execute() override;
    std::atomic<int> runs{0};

private:
    std::function<void()> body_;
    Runs& all_;
};

// The runs of one test, the threads they ran on and how many have ended.
struct Runs {
    std::mutex m;
    std::set<pid_t> tids;
    std::atomic<int> done{0};
    std::vector<std::unique_ptr<RecordingRun>> list;
    RecordingRun* Add(std::function<void()> body = nullptr) {
        list.push_back(std::make_unique<RecordingRun>(std::move(body), *this));
        return list.back().get();
    }
};

void RecordingRun::Execute() {
    {
        std::lock_guard<std::mutex> lock(all_.m);
        all_.tids.insert(gettid());
    }
    if (body_) body_();
    ++runs;
    ++all_.done;
}

struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void Wait() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return open; });
    }
    void Open() {
        {
            std::lock_guard<std::mutex> lock(m);
            open = true;
        }
        cv.notify_all();
    }
};

TEST(JobRunners, ABurstIsCarriedOutOnceEachByNoMoreThreadsThanTheBase) {
    TJobRunners::Tuning tuning;
    tuning.base = 4;
    TJobRunners runners(tuning);
    Runs runs;
    for (int i = 0; i < 500; ++i)
        runners.Submit(
            runs.Add([] { std::this_thread::sleep_for(std::chrono::microseconds(200)); }));
    ASSERT_TRUE(WaitFor([&] { return runs.done.load() == 500; }, 60000));
    for (auto& r : runs.list) EXPECT_EQ(r->runs.load(), 1);
    EXPECT_LE(runs.tids.size(), 4u) << "runs that do not block need no more than the base runners";
    EXPECT_FALSE(runs.tids.count(gettid())) << "no run is carried out on the submitting thread";
}

TEST(JobRunners, RunsThatBlockEveryRunnerDoNotHoldTheQueueBack) {
    TJobRunners::Tuning tuning;
    tuning.base = 2;
    tuning.blockedAfter = std::chrono::milliseconds(20);
    TJobRunners runners(tuning);
    Runs runs;
    Gate gate;
    std::atomic<int> blocking{0};
    // More blocking runs than the base, then one that does not block.
    for (int i = 0; i < 7; ++i)
        runners.Submit(runs.Add([&] {
            ++blocking;
            gate.Wait();
        }));
    RecordingRun* later = runs.Add();
    runners.Submit(later);
    EXPECT_TRUE(WaitFor([&] { return later->runs.load() == 1; }, 30000))
        << "the run behind the blocked ones started";
    EXPECT_EQ(blocking.load(), 7) << "every blocking run got a thread of its own";
    gate.Open();
    EXPECT_TRUE(WaitFor([&] { return runs.done.load() == 8; }, 30000));
}

TEST(JobRunners, IdleRunnersEndAndNewWorkStartsThemAgain) {
    TJobRunners::Tuning tuning;
    tuning.base = 3;
    tuning.linger = std::chrono::milliseconds(30);
    TJobRunners runners(tuning);
    Runs runs;
    for (int i = 0; i < 10; ++i) runners.Submit(runs.Add());
    ASSERT_TRUE(WaitFor([&] { return runs.done.load() == 10; }, 30000));
    EXPECT_TRUE(WaitFor([&] { return runners.Threads() == 0; }, 30000))
        << "an idle program keeps no runner threads";
    for (int i = 10; i < 20; ++i) runners.Submit(runs.Add());
    EXPECT_TRUE(WaitFor([&] { return runs.done.load() == 20; }, 30000));
}

}  // namespace
}  // namespace zk40
