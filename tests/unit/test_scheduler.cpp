// The client core driven tick by tick with a fixed clock, running real
// module files through the real host in this process.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "Catalogue.h"
#include "Process.h"
#include "TestEnv.h"
#include "base/Client.h"
#include "jobs/ClientView.h"
#include "jobs/Snapshot.h"
#include "jobs/ActionHandle.h"
#include "scheduler/JobThread.h"
#include "scheduler/RunRecorder.h"
#include "store/RunHistory.h"
#include "store/AppStore.h"

using namespace zk40;
using namespace zk40test;

namespace {

class RecordingView : public IClientView {
public:
    void ShowStatus(const std::string& text) override { statuses.push_back(text); }
    void StartupError(const std::string& text) override { statuses.push_back(text); }
    // Looked up by handle at once, as a window would: the text is the one
    // the action holds when the report arrives.
    void ActionChanged(uint32_t handle, ActionField field) override {
        ActionSnapshot a;
        if (field != ActionField::Status && field != ActionField::Status2) return;
        if (!SnapshotAction(handle, &a)) return;
        actionTexts.push_back(a.jobName + ": " +
                              (field == ActionField::Status ? a.status : a.status2));
    }
    std::vector<std::string> statuses, actionTexts;
    size_t Count(const std::string& text) const {
        size_t n = 0;
        for (const auto& t : actionTexts) n += t.find(text) != std::string::npos;
        return n;
    }
};

struct SchedulerFixture : ::testing::Test {
    TempDir dir;
    ScopedXdg xdg{dir};
    AppPaths paths = AppPaths::FromEnvironment();
    std::unique_ptr<TAppStore> app;
    FixedClock clock{ToStoreTime(2026, 12, 10, 10, 0, 0)};
    RecordingView view;
    std::unique_ptr<TZarkellClient> client;
    TRegKey actions;

    void SetUp() override {
        EnsureQtApp();
        paths.MakeFolders();
        app = std::make_unique<TAppStore>(paths);
        actions = TRegKey(app->product, "actions");
        InstallModule(actions, paths.actionsDir, ZK40_TESTMODULE_PATH, "ZKA00001.dll", "ZKTEST",
                      "TESTMOD", {"TESTACT", "TESTACT2"});
    }
    void TearDown() override {
        if (client) client->CloseWindow();
        client.reset();
    }
    void Start() {
        client = std::make_unique<TZarkellClient>(*app, paths, clock, view, nullptr);
        client->SetTickAlignment(false);
        client->SetupWindow();
    }
    TJob* Job(const std::string& name) { return client->FindJobByName(name); }
    // The first tick, then the four quiet ones, then a scheduling tick.
    void SchedulingTicks(int passes = 1) {
        for (int p = 0; p < passes; ++p)
            for (int i = 0; i < 5; ++i) client->EvTimer();
    }
    void FirstTick() { client->EvTimer(); }
    bool WaitIdle() {
        return client->Pump().WaitServing([this] { return !client->AnyJobRunning(); }, 20000);
    }
    std::string RunRecordOf(const std::string& jobName) {
        TRegKey jobs(app->crash, "jobs");
        std::string name;
        for (uint32_t i = 0; jobs.EnumSubKey(i, &name) == kRegOk; ++i)
            if (TRegKey(jobs, name).GetString("Name") == jobName) return name;
        return {};
    }
};

TEST_F(SchedulerFixture, ABurstStartsWhollyFromOnePassWhileTheEventLoopKeepsAnswering) {
    // More jobs than are started in one go: the rest follow in the same
    // pass, with no further one, and the ones started first are answered
    // (their module reads a setting through the main thread) in between.
    StoreTime now = clock.Now();
    constexpr int kJobs = 80;
    for (int i = 0; i < kJobs; ++i)
        MakeTestJob(app->jobs, actions, "Burst " + std::to_string(i), {{.mode = 0}}, 9, now - 5);
    Start();
    FirstTick();
    SchedulingTicks();
    int started = 0;
    for (int i = 0; i < kJobs; ++i) {
        TJob* job = Job("Burst " + std::to_string(i));
        TSync::TLock lock(*job);
        started += job->LastRun.Get() == now;
    }
    EXPECT_EQ(started, kJobs) << "every due job is started by the one pass";
    // Started (LastRun), through its action (the module's answer came) and
    // done: every one of them, with no further scheduling pass.
    auto ran = [&] {
        int n = 0;
        for (int i = 0; i < kJobs; ++i) {
            TJob* job = Job("Burst " + std::to_string(i));
            TSync::TLock lock(*job);
            n += job->LastRun.Get() == now && job->CurrentAction == 0 && job->LastStat.Get() == 0;
        }
        return n;
    };
    EXPECT_TRUE(WaitFor(
        [&] {
            QCoreApplication::processEvents();
            return ran() == kJobs && !client->AnyJobRunning();
        },
        30000))
        << ran() << " of " << kJobs << " ran";
}

TEST_F(SchedulerFixture, JobsThatBlockHoldNoLaterJobBack) {
    // More jobs than one turn of a pass starts block until stopped; a
    // further due job still starts in the same pass and runs.
    StoreTime now = clock.Now();
    constexpr int kBlocking = 40;
    for (int i = 0; i < kBlocking; ++i)
        MakeTestJob(app->jobs, actions, "Block " + std::to_string(i), {{.mode = 2}}, 9, now - 5);
    MakeTestJob(app->jobs, actions, "Later", {{.mode = 0}}, 9, now - 5);
    // Every run's start is logged by the module, so that the close below
    // comes once each blocking run can be stopped.
    const std::string log = dir / "runs.log";
    setenv("ZK40_TEST_MODULE_LOG", log.c_str(), 1);
    Start();
    FirstTick();
    SchedulingTicks();
    TJob* later = Job("Later");
    auto laterRan = [&] {
        TSync::TLock lock(*later);
        return later->LastRun.Get() == now && later->CurrentAction == 0;
    };
    auto runsBegun = [&] {
        std::ifstream in(log);
        return static_cast<int>(std::count(std::istreambuf_iterator<char>(in),
                                           std::istreambuf_iterator<char>(), '\n'));
    };
    EXPECT_TRUE(WaitFor(
        [&] {
            QCoreApplication::processEvents();
            return laterRan() && runsBegun() == kBlocking + 1;
        },
        30000));
    int blocking = 0;
    for (int i = 0; i < kBlocking; ++i) blocking += client->JobRunning(*Job("Block " + std::to_string(i)));
    EXPECT_EQ(blocking, kBlocking) << "the blocking jobs still run";
    EXPECT_TRUE(client->CloseWindow());
    unsetenv("ZK40_TEST_MODULE_LOG");
}

TEST_F(SchedulerFixture, DueJobsStartInQueueOrderAndNeverJobsStayQueued) {
    StoreTime now = clock.Now();
    MakeTestJob(app->jobs, actions, "First", {{.mode = 2, .sleepMs = 0}}, 9, now - 10);
    MakeTestJob(app->jobs, actions, "Second", {{.mode = 2, .sleepMs = 0}}, 9, now - 10);
    MakeTestJob(app->jobs, actions, "Manual", {{.mode = 0}}, 1);
    Start();
    FirstTick();
    ASSERT_TRUE(client->Modules().FindModule("ZKTEST", "TESTMOD"));
    std::vector<TJob*> order = client->Queue().Jobs();
    ASSERT_EQ(order.size(), 3u);
    SchedulingTicks();
    EXPECT_EQ(client->RunningThreads(), 2u);
    ASSERT_TRUE(client->Queue().Size() == 1 && client->Queue().Front() == Job("Manual"));
    EXPECT_EQ(Job("Manual")->NextRun.Get(), kNeverTime);
    // Run records are numbered in start order: the job queued first (ties
    // keep their queue order) went first.
    std::string firstName = order[0]->Name.Get(), secondName = order[1]->Name.Get();
    auto running = [&](const std::string& n) {
        std::string rec = RunRecordOf(n);
        return !rec.empty() &&
               TRegKey(app->crash, "jobs\\" + rec).GetString("Action-AID") == "TESTACT";
    };
    ASSERT_TRUE(WaitFor([&] { return running(firstName) && running(secondName); }, 10000));
    EXPECT_LT(strtoul(RunRecordOf(firstName).c_str(), nullptr, 16),
              strtoul(RunRecordOf(secondName).c_str(), nullptr, 16));
    EXPECT_EQ(Job("First")->State.Get(), 4u);
    EXPECT_EQ(Job("First")->LastRun.Get(), now);

    // Both "Once" jobs are stopped; the reaped jobs go back into the queue
    // with State 5 and never again due. (A stop that reaches the module just
    // before its run registers is asked again.)
    ASSERT_TRUE(client->Pump().WaitServing(
        [&] {
            for (const char* n : {"First", "Second"})
                if (uint32_t h = Job(n)->IsRunning()) client->StopAction(*Job(n)->FindAction(h));
            return !client->AnyJobRunning();
        },
        20000));
    clock.Advance(60);
    SchedulingTicks();
    EXPECT_EQ(client->RunningThreads(), 0u);
    EXPECT_EQ(client->Queue().Size(), 3u);
    for (const char* n : {"First", "Second"}) {
        EXPECT_EQ(Job(n)->State.Get(), 5u);
        EXPECT_EQ(Job(n)->NextRun.Get(), kNeverTime);
        EXPECT_EQ(Job(n)->LastStat.Get(), 1u) << "a stopped action counts as failed";
    }
    EXPECT_EQ(TRegKey(app->crash, "jobs").CurrentSubKeyCount(), 0u);
}

TEST_F(SchedulerFixture, DisabledSchedulerHoldsDueJobsUntilEnabled) {
    // Daily at 08:00, last run yesterday: due (catch-up) from 10:00 on.
    MakeTestJob(app->jobs, actions, "Daily", {{.mode = 0}}, 5, ToStoreTime(2026, 1, 1, 8, 0, 0));
    Start();
    Job("Daily")->LastRun = clock.Now() - 86400;
    Job("Daily")->ComputeNextRun(clock.Now());
    client->EnableScheduler(false);
    FirstTick();
    clock.Advance(120);
    SchedulingTicks(3);
    EXPECT_EQ(client->RunningThreads(), 0u);
    EXPECT_EQ(Job("Daily")->State.Get(), 5u);
    client->EnableScheduler(true);
    SchedulingTicks();
    EXPECT_EQ(client->RunningThreads(), 1u);
    ASSERT_TRUE(WaitIdle());
    SchedulingTicks();
    EXPECT_EQ(Job("Daily")->LastStat.Get(), 0u);
    // The next run is tomorrow at 08:00, not another catch-up.
    EXPECT_EQ(Job("Daily")->NextRun.Get(), ToStoreTime(2026, 12, 11, 8, 0, 0));
}

TEST_F(SchedulerFixture, FailureSkipsLaterActionsUnlessTheirTypeRunsAnyway) {
    TRegKey(actions, "ZKTEST\\TESTMOD\\TESTACT2").SetString("RUNLEVEL", "1");
    MakeTestJob(app->jobs, actions, "Three",
                {{.actionId = "TESTACT", .mode = 1},
                 {.actionId = "TESTACT2", .mode = 3, .report = "ran anyway"},
                 {.actionId = "TESTACT", .mode = 0}},
                9, clock.Now());
    Start();
    FirstTick();
    SchedulingTicks();
    ASSERT_TRUE(WaitIdle());
    client->Pump().Drain();
    TJob* job = Job("Three");
    EXPECT_EQ(job->ActionAt(0)->LastStat.Get(), 1u);
    EXPECT_EQ(job->ActionAt(1)->LastStat.Get(), 0u);
    EXPECT_EQ(job->ActionAt(1)->Status.Get(), "ran anyway");
    EXPECT_EQ(job->ActionAt(1)->Status2.Get(), "second");
    EXPECT_EQ(job->ActionAt(1)->Percent.Get(), 50u);
    EXPECT_EQ(job->ActionAt(2)->LastStat.Get(), 0u);
    EXPECT_EQ(job->ActionAt(2)->Status.Get(), kSkippingText);
    EXPECT_EQ(job->LastStat.Get(), 1u);
    EXPECT_EQ(view.Count(kSkippingText), 1u);
}

TEST_F(SchedulerFixture, ModulesUseHostServicesFromTheRunThread) {
    uint32_t id = MakeTestJob(app->jobs, actions, "Services", {{.mode = 4}}, 9, clock.Now());
    Start();
    FirstTick();
    SchedulingTicks();
    ASSERT_TRUE(WaitIdle());
    client->Pump().Drain();
    TJob* job = Job("Services");
    uint32_t h = job->ActionAt(0)->Handle();
    EXPECT_EQ(job->ActionAt(0)->LastStat.Get(), 0u);
    auto text = [&](int16_t rid) {
        TPropertyRequest r{.Id = rid, .Code = 2, .Text = "<missing>"};
        job->GetProperty(h, r);
        return r.Text;
    };
    EXPECT_EQ(text(0x10), "set-from-run");
    EXPECT_EQ(text(0x12), "vendor-default");
    EXPECT_EQ(TRegKey(actions, "ZKTEST").GetString("RID-0011"), "vendor-default");
    EXPECT_EQ(text(0x14), "2026");
    EXPECT_EQ(text(0x15), "The system cannot find the file specified.");
    EXPECT_EQ(job->ChildText(h, 1), "child one");
    EXPECT_EQ(job->GrandchildText(h, 1, 1), "sub one");
    TPropertyRequest count{.Id = 0x13, .Code = 1};
    job->GetProperty(h, count);
    EXPECT_EQ(count.Number, 1u);
    (void)id;
}

TEST_F(SchedulerFixture, AJobsOwnRequestsAreAnsweredWhileTheMainThreadIsBusy) {
    // The main thread may be busy starting the rest of a burst: a module's
    // reads of its own settings and its status reports must not wait for
    // it. The real module runs through the real host on a thread of its own
    // while this (the main) thread answers nothing; the reports are shown
    // once it does, in the order they were made.
    MakeTestJob(app->jobs, actions, "Own", {{.mode = 3, .report = "Action Status: from the run"}});
    Start();
    FirstTick();
    TJob* job = Job("Own");
    ASSERT_NE(job, nullptr);
    TAction* action = job->ActionAt(0);
    {
        TSync::TLock lock(*action);
        action->Ready = 1;
    }
    // The run loop and its history record as a job's thread runs them: the
    // end of the run does not wait for the main thread either; the record
    // is written once the main thread has applied the run's status lines.
    TRunRecorder host(*client);
    TRegKey record(app->crash, "jobs\\0000F00D");
    auto run = std::async(std::launch::async, [&] {
        const StoreTime start = client->Now();
        int ran = RunJob(*job, "0000F00D", record, actions, host);
        if (ran) host.Write(*job, start);
        return ran;
    });
    const bool alone = run.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // Unblocks a run that did wait for us, so that the test ends either way.
    ASSERT_TRUE(client->Pump().WaitServing(
        [&] { return run.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30000));
    EXPECT_TRUE(alone) << "the run waited for the main thread";
    EXPECT_EQ(run.get(), 1);
    client->Pump().Drain();
    TSync::TLock lock(*action);
    EXPECT_EQ(action->LastStat.Get(), 0u) << "the module read its mode (3) and succeeded";
    EXPECT_EQ(action->Status.Get(), "Action Status: from the run");
    EXPECT_EQ(action->Status2.Get(), "second");
    EXPECT_EQ(action->Percent.Get(), 50u);
    EXPECT_GE(view.Count("Own: Action Status: from the run"), 1u);
    auto history = TRunHistory::Open(*app->Store());
    ASSERT_TRUE(history);
    auto runs = history->Runs(job->Id(), 10);
    ASSERT_EQ(runs.size(), 1u);
    ASSERT_EQ(runs[0].Actions.size(), 1u);
    EXPECT_EQ(runs[0].Actions[0].Status, "Action Status: from the run")
        << "the record keeps the status the module reported last";
}

TEST_F(SchedulerFixture, ActionWaitsForItsReadyFlag) {
    MakeTestJob(app->jobs, actions, "Edited", {{.mode = 3, .report = "done"}}, 9, clock.Now());
    Start();
    TAction* action = Job("Edited")->ActionAt(0);
    action->Ready = 0;
    FirstTick();
    SchedulingTicks();
    ASSERT_TRUE(client->Pump().WaitServing([&] { return view.Count(kDelayingText) > 0; }, 10000));
    // Still waiting: nothing ran, no run record names an action yet.
    client->Pump().WaitServing([] { return false; }, 300);
    EXPECT_TRUE(client->AnyJobRunning());
    EXPECT_EQ(TRegKey(app->crash, "jobs\\" + RunRecordOf("Edited")).GetString("Action-AID"), "");
    {
        TSync::TLock lock(*action);
        action->Ready = 1;
    }
    ASSERT_TRUE(WaitIdle());
    client->Pump().Drain();
    EXPECT_EQ(view.Count(kDelayingText), 1u);
    EXPECT_EQ(action->Status.Get(), "done");
}

TEST_F(SchedulerFixture, ReplacementWaitsForRunningJobsThenLoadsNewVersion) {
    MakeTestJob(app->jobs, actions, "Long", {{.mode = 2, .sleepMs = 1500}}, 9, clock.Now());
    Start();
    FirstTick();
    EXPECT_EQ(TRegKey(actions, "ZKTEST\\TESTMOD").GetDword("VERSION"), 1u);
    SchedulingTicks();
    ASSERT_TRUE(client->AnyJobRunning());
    std::string temp = dir / "download.tmp";
    std::filesystem::copy_file(ZK40_TESTMODULE_V2_PATH, temp);
    TRegKey(actions, "ZKTEST\\TESTMOD").SetString("TEMPFILE", temp);
    ASSERT_TRUE(client->Modules().InstallOrLoad(temp, "ZKTEST", "TESTMOD", "TESTACT"));
    // Install returned only once the running job had ended.
    EXPECT_FALSE(client->AnyJobRunning());
    EXPECT_FALSE(client->Updating());
    EXPECT_EQ(Job("Long")->ActionAt(0)->LastStat.Get(), 0u);
    EXPECT_EQ(TRegKey(actions, "ZKTEST\\TESTMOD").GetDword("VERSION"), 2u);
    EXPECT_EQ(TRegKey(actions, "ZKTEST\\TESTMOD").GetString("TEMPFILE"), "");
    EXPECT_FALSE(FileExists(temp));
    EXPECT_EQ(client->Modules().FindModule("ZKTEST", "TESTMOD")->Version(), 2u);
}

TEST_F(SchedulerFixture, StartupLoadRefusesBadFilesAndTooNewModules) {
    // A module file with a broken trailer, and one that needs a newer build.
    InstallModule(actions, paths.actionsDir, ZK40_TESTMODULE_PATH, "ZKA00002.dll", "BAD", "BROKEN",
                  {"TESTACT"});
    {
        std::string f = paths.actionsDir + "ZKA00002.dll";
        std::string bytes = ReadFile(f);
        bytes[bytes.size() - 1] = '5';
        WriteFile(f, bytes);
    }
    InstallModule(actions, paths.actionsDir, ZK40_TESTMODULE_PATH, "ZKA00003.dll", "NEW", "TOONEW",
                  {"TESTACT"});
    TRegKey(actions, "NEW\\TOONEW").SetString("MINBASE", "30");
    TRegKey(actions, "GONE\\MISSING").SetString("FILENAME", "ZKA0FFFF.dll");
    TRegKey(actions, "GONE\\MISSING\\TESTACT").SetDword("LOADED", 1);
    Start();
    FirstTick();
    EXPECT_TRUE(client->Modules().FindModule("ZKTEST", "TESTMOD"));
    EXPECT_FALSE(client->Modules().FindModule("BAD", "BROKEN"));
    EXPECT_EQ(TRegKey(actions, "BAD\\BROKEN\\TESTACT").GetDword("LOADED"), 0u);
    EXPECT_EQ(TRegKey(actions, "GONE\\MISSING\\TESTACT").GetDword("LOADED"), 0u);
    TRegKey tooNew(actions, "NEW\\TOONEW");
    EXPECT_FALSE(tooNew.HasValue("FILENAME") || tooNew.HasValue("VERSION") ||
                 tooNew.HasValue("MINBASE"));
    EXPECT_EQ(client->Modules().ModuleCount(), 1u);
    EXPECT_EQ(view.statuses.back(), "System Initialization:  Completed,");
}

TEST_F(SchedulerFixture, RunJobOptionStartsTheNamedJobAndClearsIt) {
    MakeTestJob(app->jobs, actions, "Nightly Backup", {{.mode = 0}}, 1);
    Start();
    client->ProcessCommandLine("/runjob:\"nightly backup\"");
    EXPECT_EQ(app->base.GetString("RunJob", "<cleared>"), "<cleared>");
    FirstTick();
    SchedulingTicks();
    EXPECT_EQ(client->RunningThreads(), 1u);
    ASSERT_TRUE(WaitIdle());
    client->ProcessCommandLine("/runjob:Nobody");
    EXPECT_NE(view.statuses.back().find("no job named \"Nobody\""), std::string::npos);
    EXPECT_EQ(app->base.GetString("RunJob"), "Nobody");
}

TEST_F(SchedulerFixture, ClockSetBackRecomputesAndReordersTheQueue) {
    StoreTime now = clock.Now();
    MakeTestJob(app->jobs, actions, "Later", {{.mode = 0}}, 9, now + 7200);
    MakeTestJob(app->jobs, actions, "Sooner", {{.mode = 0}}, 9, now + 3600);
    Start();
    EXPECT_EQ(client->Queue().Front(), Job("Sooner"));
    // A run in the future (the clock went back) is reset to now.
    Job("Later")->LastRun = now + 100000;
    Job("Later")->Time = now + 60;
    client->ClockChanged();
    EXPECT_EQ(Job("Later")->LastRun.Get(), now);
    EXPECT_EQ(client->Queue().Front(), Job("Later"));
}

}  // namespace

namespace {

TEST_F(SchedulerFixture, ClosingEndsAWaitForSettingsBeingEdited) {
    uint32_t id = MakeTestJob(app->jobs, actions, "Edited", {{.mode = 0}}, 9, clock.Now());
    Start();
    Job("Edited")->ActionAt(0)->Ready = 0;
    FirstTick();
    SchedulingTicks();
    ASSERT_TRUE(client->Pump().WaitServing([&] { return view.Count(kDelayingText) > 0; }, 10000));
    client->SetShutdownWaitMs(20000);
    // The waiting run ends with the program instead of holding it up.
    EXPECT_TRUE(client->CloseWindow());
    TRegKey action(app->jobs, TJob::KeyNameOf(id) + "\\A00000001", false);
    EXPECT_EQ(action.GetDword("LastStat"), 1u);
    EXPECT_EQ(TRegKey(app->crash, "jobs").CurrentSubKeyCount(), 0u);
}

}  // namespace

namespace {

// A job whose kind this program does not know stays queued with the never
// time instead of starting at every pass, and says why.
TEST_F(SchedulerFixture, UnknownScheduleKindNeverRunsBySchedule) {
    uint32_t id = MakeTestJob(app->jobs, actions, "Odd", {{.mode = 0}}, 10);
    TRegKey(app->jobs, TJob::KeyNameOf(id)).SetDword("NextRun", clock.Now() - 60);
    Start();
    const StoreTime lastRun = Job("Odd")->LastRun.Get();
    FirstTick();
    SchedulingTicks(3);
    EXPECT_EQ(client->RunningThreads(), 0u);
    EXPECT_EQ(Job("Odd")->NextRun.Get(), kNeverTime);
    EXPECT_EQ(Job("Odd")->LastRun.Get(), lastRun) << "it never started";
    bool said = false;
    for (const auto& s : view.statuses)
        said |= s.find("\"Odd\"") != std::string::npos &&
                s.find("Unknown schedule kind 10") != std::string::npos;
    EXPECT_TRUE(said);
}

TEST_F(SchedulerFixture, ClockChangeLeavesAPendingRetryPending) {
    MakeTestJob(app->jobs, actions, "Flaky", {{.mode = 1}}, 1);
    Start();
    TJob& job = *Job("Flaky");
    job.RetryCount = 1;
    job.RetryDelay = 120;
    FirstTick();
    client->RunNow(job.Id());
    SchedulingTicks();
    ASSERT_TRUE(WaitIdle());
    clock.Advance(1);
    SchedulingTicks();
    ASSERT_EQ(client->RunningThreads(), 0u);
    ASSERT_EQ(job.LastStat.Get(), 1u);
    ASSERT_EQ(job.RetriesDone, 1);
    ASSERT_EQ(job.NextRun.Get(), clock.Now() + 120);
    // The clock is set back a day: the one retry is still to come.
    clock.Advance(-static_cast<int64_t>(kSecondsPerDay));
    client->ClockChanged();
    EXPECT_EQ(job.RetriesDone, 1);
    EXPECT_EQ(job.NextRun.Get(), clock.Now() + 120);
    clock.Advance(120);
    SchedulingTicks();
    EXPECT_EQ(client->RunningThreads(), 1u) << "the retry runs";
    ASSERT_TRUE(WaitIdle());
}

// The status an action keeps after a run is the one of that run: texts it
// posted are applied in order, and a run that reported nothing does not
// keep an older run's text. The test's main thread does not serve the
// message queue until the run's action is over, as a busy main window
// would not.
TEST_F(SchedulerFixture, StoredStatusBelongsToTheRunThatEnded) {
    uint32_t id = MakeTestJob(app->jobs, actions, "Twice", {{.mode = 3, .report = "Completed"}}, 1);
    Start();
    FirstTick();
    TJob& job = *Job("Twice");
    TAction& action = *job.ActionAt(0);
    // A scheduling pass reaps the last run, then the job is started again.
    auto start = [&] {
        SchedulingTicks();
        ASSERT_TRUE(client->RunNow(job.Id()).Ok());
        SchedulingTicks();
        ASSERT_EQ(client->RunningThreads(), 1u);
    };
    // Mode 3 reads its properties through the queue: served while it runs.
    start();
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(action.Status.Get(), "Completed");

    // A run whose module is missing: the host's own text stays. The queue
    // is served only once the action is over (not running, failed).
    action.VendorID = "GONE";
    start();
    ASSERT_TRUE(WaitFor(
        [&] {
            TSync::TLock lock(action);
            return action.Running == 0 && action.LastStat.Get() == 1;
        },
        20000));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(action.LastStat.Get(), 1u);
    EXPECT_EQ(action.Status.Get(), "Action Status: Action module GONE:TESTMOD is not loaded");
    EXPECT_EQ(TRegKey(app->jobs, TJob::KeyNameOf(id) + "\\A00000001", false).GetString("Status"),
              action.Status.Get());

    // A failed run that reported nothing.
    action.VendorID = "ZKTEST";
    client->Pump().Drain();
    ASSERT_TRUE(client->Modules().FindModule("ZKTEST", "TESTMOD"));
    job.SetProperty(action.Handle(), {.Id = 1, .Code = 1, .Number = 1});
    start();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(action.LastStat.Get(), 1u);
    EXPECT_EQ(action.Status.Get(), kFailedText);
    EXPECT_GE(view.Count(kFailedText), 1u);
}

// A module that asks for an error text without a buffer gets a refusal.
TEST_F(SchedulerFixture, ErrorTextRequestWithoutBufferIsRefused) {
    Start();
    std::atomic<intptr_t> answer{-1};
    std::thread module([&] { answer = client->Pump().Send(ZKM_ERROR_TEXT, 2, 0); });
    ASSERT_TRUE(client->Pump().WaitServing([&] { return answer != -1; }, 20000));
    module.join();
    EXPECT_EQ(answer, 0);
}

// Local time whose zone is real: store times follow the zone's rules at the
// UTC instant the test sets.
class ZoneClock final : public IClock {
public:
    StoreTime Now() const override { return FromUnixTime(unix_); }
    long UtcOffset() const override {
        time_t t = unix_;
        struct tm tm {};
        localtime_r(&t, &tm);
        return tm.tm_gmtoff;
    }
    void SetUtc(int y, int mo, int d, int h, int mi, int s) {
        struct tm tm {};
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_hour = h;
        tm.tm_min = mi;
        tm.tm_sec = s;
        unix_ = timegm(&tm);
    }

private:
    int64_t unix_ = 0;
};

struct DaylightSavingFixture : SchedulerFixture {
    ZoneClock zone;
    std::string savedTz;
    bool hadTz = false;
    void SetUp() override {
        ASSERT_TRUE(FileExists("/usr/share/zoneinfo/Europe/Berlin")) << "tzdata is needed";
        if (const char* tz = getenv("TZ")) hadTz = true, savedTz = tz;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
        SchedulerFixture::SetUp();
    }
    void TearDown() override {
        SchedulerFixture::TearDown();
        if (hadTz)
            setenv("TZ", savedTz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    void StartInZone() {
        client = std::make_unique<TZarkellClient>(*app, paths, zone, view, nullptr);
        client->SetTickAlignment(false);
        client->SetupWindow();
        FirstTick();
    }
    // Every minute, hourly at minute 15 and daily at 02:30, each last run at
    // the given local (store) time.
    void MakeJobs(StoreTime minutelyRan, StoreTime hourlyRan, StoreTime dailyRan) {
        uint32_t m = MakeTestJob(app->jobs, actions, "Minutely", {{.mode = 0}}, 7);
        TRegKey mk(app->jobs, TJob::KeyNameOf(m));
        mk.SetDword("Hour", 0);
        mk.SetDword("Minute", 1);
        mk.SetDword("LastRun", minutelyRan);
        uint32_t h = MakeTestJob(app->jobs, actions, "Hourly", {{.mode = 0}}, 6,
                                 ToStoreTime(2026, 1, 1, 0, 15, 0));
        TRegKey(app->jobs, TJob::KeyNameOf(h)).SetDword("LastRun", hourlyRan);
        uint32_t d = MakeTestJob(app->jobs, actions, "Daily", {{.mode = 0}}, 5,
                                 ToStoreTime(2026, 1, 1, 2, 30, 0));
        TRegKey(app->jobs, TJob::KeyNameOf(d)).SetDword("LastRun", dailyRan);
    }
    std::string NextOf(const char* name) { return FormatStoreTime(Job(name)->NextRun.Get()); }
};

// 25 October 2026, 03:00 summer time becomes 02:00 winter time (01:00 UTC).
TEST_F(DaylightSavingFixture, AutumnChangeKeepsIntervalsInRealTime) {
    MakeJobs(ToStoreTime(2026, 10, 25, 2, 59, 0), ToStoreTime(2026, 10, 25, 2, 15, 0),
             ToStoreTime(2026, 10, 25, 2, 30, 0));
    zone.SetUtc(2026, 10, 25, 0, 59, 30);  // 02:59:30 summer time
    StartInZone();
    SchedulingTicks();
    ASSERT_EQ(client->RunningThreads(), 0u);
    ASSERT_EQ(NextOf("Minutely"), "2026-10-25 03:00:00");

    zone.SetUtc(2026, 10, 25, 1, 0, 10);  // 02:00:10 winter time
    SchedulingTicks();
    // A minute after its last run in real time, not an hour.
    EXPECT_EQ(Job("Minutely")->LastRun.Get(), ToStoreTime(2026, 10, 25, 2, 0, 10));
    EXPECT_EQ(client->RunningThreads(), 1u);
    EXPECT_EQ(NextOf("Hourly"), "2026-10-25 02:15:00") << "an hour after 02:15 summer time";
    EXPECT_EQ(NextOf("Daily"), "2026-10-26 02:30:00");
    ASSERT_TRUE(WaitIdle());

    // 02:30 comes a second time that night; the daily job ran at the first.
    zone.SetUtc(2026, 10, 25, 1, 30, 5);
    SchedulingTicks();
    EXPECT_EQ(Job("Daily")->LastRun.Get(), ToStoreTime(2026, 10, 25, 2, 30, 0));
    ASSERT_TRUE(WaitIdle());
}

// 29 March 2026, 02:00 winter time becomes 03:00 summer time (01:00 UTC).
TEST_F(DaylightSavingFixture, SpringChangeDoesNotRunHourlyJobsEarly) {
    MakeJobs(ToStoreTime(2026, 3, 29, 1, 59, 0), ToStoreTime(2026, 3, 29, 1, 15, 0),
             ToStoreTime(2026, 3, 28, 2, 30, 0));
    zone.SetUtc(2026, 3, 29, 0, 59, 50);  // 01:59:50 winter time
    StartInZone();
    SchedulingTicks();
    ASSERT_EQ(NextOf("Hourly"), "2026-03-29 02:15:00");

    zone.SetUtc(2026, 3, 29, 1, 0, 10);  // 03:00:10 summer time
    SchedulingTicks();
    // An hour after 01:15 winter time is 03:15 summer time.
    EXPECT_EQ(NextOf("Hourly"), "2026-03-29 03:15:00");
    EXPECT_EQ(Job("Hourly")->LastRun.Get(), ToStoreTime(2026, 3, 29, 2, 15, 0));
    // The minutely job is due a minute after 01:59 winter time: now.
    EXPECT_EQ(Job("Minutely")->LastRun.Get(), ToStoreTime(2026, 3, 29, 3, 0, 10));
    // 02:30 did not exist; the daily job catches up at once.
    EXPECT_EQ(Job("Daily")->LastRun.Get(), ToStoreTime(2026, 3, 29, 3, 0, 10));
    EXPECT_EQ(client->RunningThreads(), 2u);
    ASSERT_TRUE(WaitIdle());
}

}  // namespace
