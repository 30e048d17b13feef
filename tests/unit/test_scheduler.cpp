// The client core driven tick by tick with a fixed clock, running real
// module files through the real host in this process.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>

#include "Catalogue.h"
#include "Process.h"
#include "TestEnv.h"
#include "base/Client.h"
#include "jobs/ClientView.h"
#include "jobs/Snapshot.h"
#include "jobs/ActionHandle.h"
#include "scheduler/JobThread.h"
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
