#include <gtest/gtest.h>

#include <functional>

#include "TestEnv.h"
#include "jobs/Job.h"
#include "jobs/JobOps.h"
#include "jobs/JobSettings.h"
#include "jobs/NextRun.h"
#include "store/RunHistory.h"
#include "store/Store.h"

using namespace zk40;
using zk40test::TempDir;

namespace {

StoreTime Monday1400() { return ToStoreTime(2024, 6, 3, 14, 0, 0); }

struct JobOpsFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<TStore> store = TStore::Open(dir / "store.db");
    TRegKey jobs{store.get(), "Software\\DENTRAX-14\\Zarkell'40\\jobs"};
    TRegKey actions{store.get(), "Software\\DENTRAX-14\\Zarkell'40\\actions"};
    FixedClock clock{Monday1400()};

    std::unique_ptr<TJob> Make(const JobSettings& s, const std::vector<TJob*>& others = {}) {
        std::unique_ptr<TJob> job;
        jobops::Result r = jobops::NewJob(jobs, actions, s, others, clock, &job);
        EXPECT_TRUE(r.Ok()) << r.Error;
        return job;
    }
    // The job as a fresh process would read it from the store.
    JobSettings Reread(uint32_t id) {
        TJob again(jobs, actions, id, clock);
        return JobSettings::FromJob(again);
    }
};

JobSettings EveryFiveWorkdays() {
    JobSettings s;
    s.Name = "poll";
    s.SchedType = kSchedEvery;
    s.Hour = 0;
    s.Minute = 5;
    s.WindowStart = 8 * 3600;
    s.WindowStop = 18 * 3600;
    EXPECT_TRUE(ParseAllowedDays("mon-fri", &s.ExcludedDays));
    return s;
}

TEST_F(JobOpsFixture, EverySettingReachesTheStoreAndComesBack) {
    JobSettings a = EveryFiveWorkdays();
    JobSettings b;
    b.Name = "yearly report";
    b.SchedType = kSchedYearly;
    b.Time = ToStoreTime(2024, 3, 10, 9, 15);
    b.WindowStart = 22 * 3600;
    b.WindowStop = 2 * 3600;
    b.ExcludedDays = 0x104;
    b.QuickList = false;
    b.StopOnError = false;
    b.RetryCount = 3;
    b.RetryDelay = 120;
    b.Password = "s3cret";
    b.Enabled = false;
    for (const JobSettings& s : {a, b}) {
        auto job = Make(s);
        ASSERT_TRUE(job);
        EXPECT_EQ(JobSettings::FromJob(*job), s) << s.Name;
        EXPECT_EQ(Reread(job->Id()), s) << s.Name;
    }
    // Editing one job into the other's settings changes every field.
    auto job = Make(a);
    b.Name = "edited";
    ASSERT_TRUE(jobops::ApplySettings(*job, b, std::vector<TJob*>{}, clock.Now()).Ok());
    EXPECT_EQ(Reread(job->Id()), b);
}

TEST_F(JobOpsFixture, RefusedSettingsLeaveTheJobAsItWas) {
    auto other = Make([] {
        JobSettings s;
        s.Name = "taken";
        return s;
    }());
    auto job = Make(EveryFiveWorkdays());
    const JobSettings before = Reread(job->Id());
    struct Case {
        const char* what;
        std::function<void(JobSettings&)> change;
        const char* says;
    };
    const Case cases[] = {
        {"empty name", [](JobSettings& s) { s.Name = "  "; }, "needs a name"},
        {"duplicate name", [](JobSettings& s) { s.Name = "taken"; }, "already exists"},
        {"control character", [](JobSettings& s) { s.Name = "a\tb"; }, "control characters"},
        {"zero interval", [](JobSettings& s) { s.Hour = s.Minute = 0; }, "at least one minute"},
        {"minute 60", [](JobSettings& s) { s.Minute = 60; }, "0 to 59"},
        {"no weekday", [](JobSettings& s) { s.ExcludedDays = 0x1FC; }, "never run"},
        {"kind 10", [](JobSettings& s) { s.SchedType = 10; }, "not one of 1 to 9"},
        {"once without time",
         [](JobSettings& s) {
             s.SchedType = kSchedOnce;
             s.Time = 0;
         },
         "date and time"},
        {"retry delay", [](JobSettings& s) { s.RetryDelay = 40000; }, "retry delay"},
    };
    std::vector<TJob*> all{other.get(), job.get()};
    for (const Case& c : cases) {
        JobSettings s = before;
        c.change(s);
        jobops::Result r = jobops::ApplySettings(*job, s, all, clock.Now());
        EXPECT_NE(r.Error.find(c.says), std::string::npos) << c.what << ": " << r.Error;
        EXPECT_EQ(Reread(job->Id()), before) << c.what;
        std::unique_ptr<TJob> made;
        EXPECT_FALSE(jobops::NewJob(jobs, actions, s, all, clock, &made).Ok()) << c.what;
        EXPECT_FALSE(made) << c.what;
    }
    EXPECT_EQ(jobs.CurrentSubKeyCount(), 2u);
    EXPECT_NE(jobops::Rename(*job, "taken", all).Error.find("already exists"), std::string::npos);
    ASSERT_TRUE(jobops::Rename(*job, "poll2", all).Ok());
    EXPECT_EQ(Reread(job->Id()).Name, "poll2");
}

TEST_F(JobOpsFixture, ANewJobRunsAtItsNextOccurrenceNotAsACatchUp) {
    JobSettings s;
    s.Name = "nightly";
    s.SchedType = kSchedDaily;
    s.Time = ToStoreTime(2024, 6, 1, 2, 0);
    auto job = Make(s);
    EXPECT_EQ(job->NextRun.Get(), ToStoreTime(2024, 6, 4, 2, 0));
    EXPECT_EQ(job->State.Get(), 2u);
    EXPECT_EQ(job->LastRun.Get(), Monday1400());
}

TEST_F(JobOpsFixture, ADisabledJobKeepsItsScheduleButIsNeverDue) {
    auto job = Make(EveryFiveWorkdays());
    const StoreTime next = job->NextRun.Get();
    ASSERT_NE(next, kNeverTime);
    ASSERT_TRUE(jobops::SetEnabled(*job, false, clock.Now()).Ok());
    EXPECT_EQ(job->NextRun.Get(), kNeverTime);
    {
        TJob reopened(jobs, actions, job->Id(), clock);
        EXPECT_FALSE(reopened.Enabled());
        reopened.ComputeNextRun(clock.Now());
        EXPECT_EQ(reopened.NextRun.Get(), kNeverTime);
        EXPECT_EQ(JobSettings::FromJob(reopened).SchedType, uint32_t(kSchedEvery));
    }
    ASSERT_TRUE(jobops::SetEnabled(*job, true, clock.Now()).Ok());
    EXPECT_EQ(job->NextRun.Get(), next);
    // Enabled again, the job key looks as an older store's does.
    EXPECT_FALSE(TRegKey(jobs, job->KeyName(), false).HasValue("Disabled"));
}

TEST_F(JobOpsFixture, AJobOfAnOlderStoreReadsAsEnabledAndIsNotRewritten) {
    TRegKey old(jobs, "00000007");
    old.SetString("Name", "old");
    old.SetDword("SchedType", kSchedDaily);
    TJob job(jobs, actions, 7, clock);
    EXPECT_TRUE(job.Enabled());
    EXPECT_FALSE(old.HasValue("Disabled"));
}

TEST_F(JobOpsFixture, ActionsGetTheirPropertiesAndDeletingTakesEverything) {
    auto job = Make(EveryFiveWorkdays());
    uint32_t handle = 0;
    ASSERT_TRUE(jobops::AddAction(*job, "VENDOR", "MODULE", "ACT", "step one",
                                  {{1, true, "/bin/echo", 0}, {4, false, "", 30}}, &handle)
                    .Ok());
    TRegKey rid(jobs, std::string(job->KeyName()) + "\\A00000001\\RID", false);
    EXPECT_EQ(rid.GetString("RID-0001"), "/bin/echo");
    EXPECT_EQ(rid.GetDword("RID-0004"), 30u);
    EXPECT_EQ(TRegKey(jobs, std::string(job->KeyName()) + "\\A00000001", false).GetString("Name"), "step one");
    EXPECT_FALSE(jobops::AddAction(*job, "V:X", "M", "A", "bad", {}).Ok());
    EXPECT_EQ(job->ActionCount(), 1u);

    auto history = TRunHistory::Open(store->Path());
    ASSERT_TRUE(history);
    RunRecord run;
    run.JobId = job->Id();
    ASSERT_TRUE(history->Add(run, 50));

    // Running: refused, and nothing is gone.
    job->CurrentAction = handle;
    EXPECT_EQ(jobops::DeleteJob(*job).Error, jobops::kDeleteRunningText);
    job->CurrentAction = 0;
    EXPECT_EQ(jobops::DeleteJob(*job, true).Error, jobops::kDeleteRunningText);
    EXPECT_TRUE(TRegKey(jobs, job->KeyName(), false).IsValid());

    ASSERT_TRUE(jobops::DeleteJob(*job).Ok());
    EXPECT_FALSE(TRegKey(jobs, job->KeyName(), false).IsValid());
    EXPECT_TRUE(history->Runs(job->Id(), 10).empty());
}

TEST(JobSettingsText, SchedulesReadAsAPersonWouldSayThem) {
    auto with = [](uint32_t kind, StoreTime t, const char* days = "all", uint32_t from = 0,
                   uint32_t to = 86399) {
        JobSettings s;
        s.SchedType = kind;
        s.Time = t;
        s.Hour = 0;
        s.Minute = 5;
        EXPECT_TRUE(ParseAllowedDays(days, &s.ExcludedDays));
        s.WindowStart = from;
        s.WindowStop = to;
        return s;
    };
    const StoreTime mon0930 = ToStoreTime(2024, 6, 3, 9, 30);
    struct Case {
        JobSettings s;
        const char* text;
    };
    const Case cases[] = {
        {with(kSchedEvery, 0, "mon-fri", 8 * 3600, 18 * 3600),
         "every 0:05, Mon\xE2\x80\x93"
         "Fri 08:00\xE2\x80\x93"
         "18:00"},
        {with(kSchedDaily, mon0930, "mon,wed,fri"), "daily at 09:30, Mon, Wed, Fri"},
        // The daily kind has no window; one that is set is not mentioned.
        {with(kSchedDaily, mon0930, "all", 3600, 7200), "daily at 09:30"},
        {with(kSchedWeekly, mon0930), "weekly on Monday at 09:30"},
        {with(kSchedMonthly, mon0930), "monthly on day 3 at 09:30"},
        {with(kSchedYearly, mon0930), "yearly on 3 June at 09:30"},
        {with(kSchedHourly, mon0930, "sat-sun"), "hourly at minute 30, Sat, Sun"},
        {with(kSchedOnce, mon0930), "once at 2024-06-03 09:30"},
        {with(kSchedManually, 0), "manually"},
        {with(kSchedOnStartup, 0, "all", 22 * 3600, 2 * 3600),
         "at start-up, 22:00\xE2\x80\x93"
         "02:00"},
    };
    for (const Case& c : cases) EXPECT_EQ(DescribeSchedule(c.s), c.text);
}

TEST(JobSettingsText, WeekdayListsParseToTheStoredBits) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t excluded;
    };
    const Case cases[] = {
        {"mon-fri", true, 0x104},         {"Sat,Sun", true, 0x0F8},
        {"sat-mon", true, 0x0F0},         {"all", true, 0},
        {"monday,tuesday", true, 0x1E4},  {"funday", false, 0},
        {"", false, 0},                   {"mon-", false, 0},
    };
    for (const Case& c : cases) {
        uint32_t bits = 0xFFFF;
        EXPECT_EQ(ParseAllowedDays(c.text, &bits), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bits, c.excluded) << c.text;
        }
    }
}

TEST(RunHistory, KeepsTheNewestRunsOfEachJobWithTheirActions) {
    TempDir dir;
    auto store = TStore::Open(dir / "store.db");
    auto history = TRunHistory::Open(store->Path());
    ASSERT_TRUE(history);
    for (uint32_t i = 1; i <= 5; ++i) {
        for (uint32_t job : {10u, 20u}) {
            RunRecord r;
            r.JobId = job;
            r.JobName = "job" + std::to_string(job);
            r.Start = i * 100;
            r.End = i * 100 + 5;
            r.Result = i % 2;
            r.Status = "run " + std::to_string(i);
            ActionRunRecord a;
            a.Name = "step";
            a.Status = "Completed: exit code 0";
            a.Output = {"line " + std::to_string(i), "", "last"};
            r.Actions = {a, a};
            ASSERT_TRUE(history->Add(r, 3));
        }
    }
    auto runs = history->Runs(10, 10);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].Status, "run 5");
    EXPECT_EQ(runs[2].Status, "run 3");
    EXPECT_EQ(runs[0].Start, 500u);
    ASSERT_EQ(runs[0].Actions.size(), 2u);
    EXPECT_EQ(runs[0].Actions[1].Output, (std::vector<std::string>{"line 5", "", "last"}));
    EXPECT_EQ(history->Runs(20, 1).size(), 1u);
    EXPECT_EQ(history->LastRuns().size(), 2u);
    ASSERT_TRUE(history->ForgetJob(10));
    EXPECT_TRUE(history->Runs(10, 10).empty());
    EXPECT_EQ(history->Runs(20, 10).size(), 3u);
}

// The program writes its runs through its store's own connection: that is
// its own write, which its watch for other processes' changes must not take
// for one (each run made it compare every job with the store). Another
// process sees the run as a change, and reads it.
TEST(RunHistory, TheProgramsOwnRunsAreNoOutsideChangeOfItsStore) {
    TempDir dir;
    auto program = TStore::Open(dir / "store.db");
    auto other = TStore::Open(dir / "store.db");
    ASSERT_TRUE(program && other);
    auto history = TRunHistory::Open(*program);
    ASSERT_TRUE(history);
    const int64_t ours = program->DataVersion(), theirs = other->DataVersion();
    RunRecord r;
    r.JobId = 7;
    r.JobName = "seven";
    r.Status = "Completed";
    ASSERT_TRUE(history->Add(r, 5));
    EXPECT_EQ(program->DataVersion(), ours);
    EXPECT_NE(other->DataVersion(), theirs);
    auto reader = TRunHistory::Open(dir / "store.db");
    ASSERT_TRUE(reader);
    ASSERT_EQ(reader->Runs(7, 5).size(), 1u);
    // Inside a transaction of the store it is part of that transaction.
    program->Transaction([&] {
        EXPECT_TRUE(history->Add(r, 5));
        return false;
    });
    EXPECT_EQ(reader->Runs(7, 5).size(), 1u);
}

}  // namespace
