#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "TestEnv.h"
#include "jobs/ActionHandle.h"
#include "jobs/Job.h"
#include "store/Store.h"

using namespace zk40;
using zk40test::TempDir;

namespace {

// A function, not a constant: times are not computed during static set-up.
StoreTime Now() { return ToStoreTime(2024, 6, 3, 10, 30, 0); }  // a Monday

struct JobFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<TStore> store = TStore::Open(dir / "store.db");
    TRegKey jobs{store.get(), "Software\\DENTRAX-14\\Zarkell'40\\jobs"};
    TRegKey actions{store.get(), "Software\\DENTRAX-14\\Zarkell'40\\actions"};
    FixedClock clock{Now()};

    // What the store holds, read through a key of its own.
    uint32_t Stored(const TJob& job, const char* name) {
        return TRegKey(jobs, job.KeyName(), false).GetDword(name, 0xDEADBEEF);
    }
    std::string StoredText(const TJob& job, const char* name) {
        return TRegKey(jobs, job.KeyName(), false).GetString(name, "<missing>");
    }
};

TEST_F(JobFixture, NewAndOpenedJobsWriteTheirOwnDefaults) {
    TRegKey bare(jobs, "0000002A");
    bare.SetString("Name", "kept");
    TJob fresh(jobs, actions, clock);
    TJob opened(jobs, actions, 42, clock);
    EXPECT_EQ(opened.KeyName(), "0000002A");

    const StoreTime today = ToStoreTime(2024, 6, 3);
    struct Row {
        const char* name;
        uint32_t fresh, opened;
    };
    for (const Row& r : {
             Row{"Flags", 3, 0},
             Row{"SchedType", 1, 0},
             Row{"Time", 0, 0},
             Row{"Hour", 1, 0},
             Row{"Minute", 0, 0},
             Row{"LastRun", 0, 0},
             Row{"NextRun", kNeverTime, 0},
             Row{"State", 1, 0},
             Row{"NumActions", 0, 0},
             Row{"StartTime", today, today},
             Row{"StopTime", today + 86399, today + 86399},
             Row{"LastStat", 0, 0},
             Row{"RetryCount", 0, 0},
             Row{"RetryDelay", 0, 0},
         }) {
        EXPECT_EQ(Stored(fresh, r.name), r.fresh) << r.name;
        EXPECT_EQ(Stored(opened, r.name), r.opened) << r.name;
    }
    EXPECT_EQ(StoredText(fresh, "Name"), "(untitled)");
    EXPECT_EQ(StoredText(fresh, "Password"), "");
    EXPECT_EQ(StoredText(opened, "Name"), "kept") << "an existing value wins over the default";
    EXPECT_EQ(StoredText(opened, "Password"), "");

    EXPECT_TRUE(fresh.QuickList);
    EXPECT_TRUE(fresh.StopOnError);
    EXPECT_FALSE(opened.QuickList);
    EXPECT_FALSE(opened.StopOnError);
    for (int day = 1; day <= 7; ++day) EXPECT_TRUE(opened.IsDayAllowed(day)) << day;
}

TEST_F(JobFixture, FlagBitsAndAllowedDays) {
    TRegKey(jobs, "00000007").SetDword("Flags", 0x104);
    TJob job(jobs, actions, 7, clock);
    EXPECT_FALSE(job.QuickList);
    EXPECT_FALSE(job.StopOnError);
    EXPECT_TRUE(job.SundayExcluded);
    EXPECT_TRUE(job.SaturdayExcluded);
    EXPECT_FALSE(job.MondayExcluded);
    EXPECT_FALSE(job.FridayExcluded);
    const bool allowed[] = {false, true, true, true, true, true, false, false, false};
    for (int day = 0; day <= 8; ++day) EXPECT_EQ(job.IsDayAllowed(day), allowed[day]) << day;

    // A bit view rewrites the whole number.
    job.QuickList = true;
    EXPECT_EQ(Stored(job, "Flags"), 0x105u);
}

TEST_F(JobFixture, FreshIdentifierNeverLandsOnAnExistingJob) {
    srand(12345);
    const uint32_t firstDraw = static_cast<uint32_t>(rand()) % 32768;
    TRegKey existing(jobs, TJob::KeyNameOf(firstDraw));
    existing.SetString("Name", "someone else's job");
    existing.SetDword("SchedType", 5);

    srand(12345);
    TJob job(jobs, actions, clock);
    EXPECT_NE(job.Id(), firstDraw);
    EXPECT_LT(job.Id(), 32768u);
    EXPECT_EQ(job.Name.Get(), "(untitled)");
    EXPECT_EQ(existing.GetString("Name"), "someone else's job");
    EXPECT_EQ(existing.GetDword("SchedType"), 5u);

    // Two jobs of one run never share a number, even before either is saved.
    TJob second(jobs, actions, clock);
    EXPECT_NE(second.Id(), job.Id());
}

TEST_F(JobFixture, FreshIdentifierGoesAboveTheSmallRangeWhenItIsFull) {
    store->Transaction([&] {
        for (uint32_t id = 0; id < 32768; ++id) TRegKey(jobs, TJob::KeyNameOf(id));
        return true;
    });
    TJob job(jobs, actions, clock);
    EXPECT_GE(job.Id(), 32768u);
    EXPECT_EQ(StoredText(job, "Name"), "(untitled)");
}

TEST_F(JobFixture, RunNowSaveAndComputeNextRunWriteThrough) {
    TJob job(jobs, actions, clock);
    job.RetriesDone = 2;
    job.RunNow(Now());
    EXPECT_EQ(job.RetriesDone, 0);
    EXPECT_EQ(Stored(job, "NextRun"), Now());

    // Once, with a LastRun in the future: the clock was set back.
    job.SchedType = 9;
    job.Time = Now() + 600;
    job.LastRun = Now() + 3600;
    job.ComputeNextRun(Now());
    EXPECT_EQ(Stored(job, "LastRun"), Now());
    EXPECT_EQ(Stored(job, "NextRun"), Now() + 600);

    // A failed run is retried and the count lives in the job.
    job.LastStat = 1;
    job.RetryCount = 1;
    job.RetryDelay = 45;
    job.ComputeNextRun(Now());
    EXPECT_EQ(job.RetriesDone, 1);
    EXPECT_EQ(Stored(job, "NextRun"), Now() + 45);

    // Save puts memory back over whatever the store has meanwhile.
    TRegKey other(jobs, job.KeyName());
    other.SetString("Name", "changed elsewhere");
    other.SetDword("Flags", 0);
    other.SetDword("NextRun", 1);
    ASSERT_TRUE(job.Save());
    EXPECT_EQ(StoredText(job, "Name"), "(untitled)");
    EXPECT_EQ(Stored(job, "Flags"), 3u);
    EXPECT_EQ(Stored(job, "NextRun"), Now() + 45);
}

TEST_F(JobFixture, DeleteValuesRemovesTheKeyOnlyWhenNoActionIsLeft) {
    TJob bare(jobs, actions, clock);
    TJob withAction(jobs, actions, clock);
    withAction.AddAction("V", "M", "A");
    bare.DeleteValues();
    withAction.DeleteValues();
    EXPECT_FALSE(TRegKey(jobs, bare.KeyName(), false).IsValid());
    TRegKey kept(jobs, withAction.KeyName(), false);
    ASSERT_TRUE(kept.IsValid());
    EXPECT_EQ(kept.CurrentValueCount(), 0u);
    EXPECT_EQ(kept.CurrentSubKeyCount(), 1u);
}

struct RecordingRunner : IActionRunner {
    const TJob* job = nullptr;
    uint32_t stopped = 0;
    bool jobLockFree = false;
    bool StopAction(TAction& action) override {
        stopped = action.Handle();
        // The module may call back into the host from any thread; the job
        // must not be locked while it runs.
        std::thread([&] {
            jobLockFree = job->TryEnter();
            if (jobLockFree) job->Leave();
        }).join();
        return true;
    }
};

TEST_F(JobFixture, RunningStateAndStopOnDestruction) {
    RecordingRunner runner;
    uint32_t second = 0;
    {
        TJob job(jobs, actions, clock);
        runner.job = &job;
        job.SetActionRunner(&runner);
        job.AddAction("V", "M", "A");
        second = job.AddAction("V", "M", "B");
        EXPECT_EQ(job.IsRunning(), 0u);
        job.CurrentAction = TJob::kRunStarting;
        EXPECT_EQ(job.IsRunning(), 0u) << "a run that has just begun is not yet running";
        job.CurrentAction = second;
        EXPECT_EQ(job.IsRunning(), second);
    }
    EXPECT_EQ(runner.stopped, second);
    EXPECT_TRUE(runner.jobLockFree);
    EXPECT_EQ(ResolveActionHandle(second), nullptr);

    // A job between runs asks nothing of the runner.
    runner.stopped = 0;
    {
        TJob job(jobs, actions, clock);
        job.SetActionRunner(&runner);
        job.AddAction("V", "M", "A");
        job.CurrentAction = TJob::kRunStarting;
    }
    EXPECT_EQ(runner.stopped, 0u);
}

}  // namespace
