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

// A run that records the thread it ran on and then does what the test says.
class RecordingRun : public TJobRun {
public:
    RecordingRun(std::function<void()> body, std::mutex& m, std::set<pid_t>& tids,
                 std::atomic<int>& done)
        : body_(std::move(body)), m_(m), tids_(tids), done_(done) {}
    void Execute() override {
        {
            std::lock_guard<std::mutex> lock(m_);
            tids_.insert(gettid());
        }
        if (body_) body_();
        ++runs;
        ++done_;
    }
    std::atomic<int> runs{0};

private:
    std::function<void()> body_;
    std::mutex& m_;
    std::set<pid_t>& tids_;
    std::atomic<int>& done_;
};

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
    std::mutex m;
    std::set<pid_t> tids;
    std::atomic<int> done{0};
    std::vector<std::unique_ptr<RecordingRun>> runs;
    for (int i = 0; i < 500; ++i)
        runs.push_back(std::make_unique<RecordingRun>(
            [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); }, m, tids, done));
    for (auto& r : runs) runners.Submit(r.get());
    ASSERT_TRUE(WaitFor([&] { return done.load() == 500; }, 60000));
    for (auto& r : runs) EXPECT_EQ(r->runs.load(), 1);
    EXPECT_LE(tids.size(), 4u) << "runs that do not block need no more than the base runners";
    EXPECT_FALSE(tids.count(gettid())) << "no run is carried out on the submitting thread";
}

TEST(JobRunners, RunsThatBlockEveryRunnerDoNotHoldTheQueueBack) {
    TJobRunners::Tuning tuning;
    tuning.base = 2;
    tuning.blockedAfter = std::chrono::milliseconds(20);
    TJobRunners runners(tuning);
    std::mutex m;
    std::set<pid_t> tids;
    std::atomic<int> done{0};
    Gate gate;
    std::atomic<int> blocking{0};
    std::vector<std::unique_ptr<RecordingRun>> runs;
    // More blocking runs than the base, then one that does not block.
    for (int i = 0; i < 7; ++i)
        runs.push_back(std::make_unique<RecordingRun>(
            [&] {
                ++blocking;
                gate.Wait();
            },
            m, tids, done));
    runs.push_back(std::make_unique<RecordingRun>(nullptr, m, tids, done));
    for (auto& r : runs) runners.Submit(r.get());
    EXPECT_TRUE(WaitFor([&] { return runs.back()->runs.load() == 1; }, 30000))
        << "the run behind the blocked ones started";
    EXPECT_EQ(blocking.load(), 7) << "every blocking run got a thread of its own";
    gate.Open();
    EXPECT_TRUE(WaitFor([&] { return done.load() == 8; }, 30000));
}

TEST(JobRunners, IdleRunnersEndAndNewWorkStartsThemAgain) {
    TJobRunners::Tuning tuning;
    tuning.base = 3;
    tuning.linger = std::chrono::milliseconds(30);
    TJobRunners runners(tuning);
    std::mutex m;
    std::set<pid_t> tids;
    std::atomic<int> done{0};
    std::vector<std::unique_ptr<RecordingRun>> runs;
    for (int i = 0; i < 20; ++i)
        runs.push_back(std::make_unique<RecordingRun>(nullptr, m, tids, done));
    for (int i = 0; i < 10; ++i) runners.Submit(runs[i].get());
    ASSERT_TRUE(WaitFor([&] { return done.load() == 10; }, 30000));
    EXPECT_TRUE(WaitFor([&] { return runners.Threads() == 0; }, 30000))
        << "an idle program keeps no runner threads";
    for (int i = 10; i < 20; ++i) runners.Submit(runs[i].get());
    EXPECT_TRUE(WaitFor([&] { return done.load() == 20; }, 30000));
}

}  // namespace
}  // namespace zk40
