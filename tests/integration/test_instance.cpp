// The running instance and other processes: hand-overs of command lines,
// edits of the store made while it runs, and the program's own switches.
#include <gtest/gtest.h>

#include <thread>

#include "Catalogue.h"
#include "ProgramFixture.h"
#include "base/InstanceRequest.h"

using namespace zk40;
using namespace zk40test;

namespace {

struct InstanceFixture : RealProgramFixture {
    const std::string jobsPath = std::string("HKCU\\") + kProductKeyPath + "\\jobs\\";

    void SetUp() override { InstallTestModule(); }
};

// Twenty clients at once, each for its own job: every job runs, and each
// client hears back only once its own line was carried out.
TEST_F(InstanceFixture, ConcurrentRunJobHandOversRunEveryJob) {
    std::vector<uint32_t> ids;
    for (int i = 0; i < 20; ++i)
        ids.push_back(MakeTestJob(app->jobs, actions, "Job " + std::to_string(i), {{.mode = 0}}));
    ChildProcess first;
    ASSERT_NO_FATAL_FAILURE(StartRunning(first));
    std::vector<ChildProcess> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(Start({"/runjob:Job " + std::to_string(i)}));
    for (auto& c : clients) EXPECT_EQ(c.Wait(60000), 0) << c.Output();
    for (uint32_t id : ids)
        EXPECT_TRUE(WaitFor([&] { return JobRan(id); }, 60000)) << TJob::KeyNameOf(id);
    for (auto& c : clients) EXPECT_EQ(c.Output(), "");
    // The last line handed over stays in the store.
    std::string last = app->base.GetString("CommandLine");
    EXPECT_EQ(last.rfind("/runjob:\"Job ", 0), 0u) << last;
    Stop(first);
}

// A name given in quotes inside one argument is the whole name, both on the
// program's own command line and handed over.
TEST_F(InstanceFixture, QuotedNameInOneArgumentRunsThatJobOnly) {
    uint32_t shortOne = MakeTestJob(app->jobs, actions, "Nightly", {{.mode = 0}});
    uint32_t longOne = MakeTestJob(app->jobs, actions, "Nightly Backup", {{.mode = 0}});
    uint32_t other = MakeTestJob(app->jobs, actions, "Other Job", {{.mode = 0}});
    ChildProcess first = Start({"/runjob:\"Other Job\""});
    ASSERT_TRUE(WaitFor([&] { return JobRan(other); }, 30000)) << first.Output();
    std::string out;
    EXPECT_EQ(RunProcess({ZK40_BIN, "/runjob:\"Nightly Backup\""}, &out, 30000, Env()), 0) << out;
    EXPECT_EQ(out, "");
    ASSERT_TRUE(WaitFor([&] { return JobRan(longOne); }, 30000)) << first.Output();
    EXPECT_EQ(app->base.GetString("CommandLine"), "/runjob:\"Nightly Backup\"");
    Stop(first);
    EXPECT_FALSE(JobRan(shortOne)) << first.Output();
}

// A hand-over is a success only when the instance carried it out: one it
// refuses ends the second start with status 1 and the instance's answer on
// standard error, so a script that starts a job this way sees the failure.
TEST_F(InstanceFixture, RefusedHandOverExitsOneWithTheAnswerOnStandardError) {
    MakeTestJob(app->jobs, actions, "Idle", {{.mode = 0}});
    uint32_t busy = MakeTestJob(app->jobs, actions, "Busy", {{.mode = 2, .sleepMs = 0}});
    ChildProcess first;
    ASSERT_NO_FATAL_FAILURE(StartRunning(first));
    ASSERT_EQ(HandOverArguments(paths.runtimeDir, {"/runjob:Busy"}).kind, InstanceAnswer::Kind::Ok);
    ASSERT_TRUE(WaitFor([&] { return JobKey(busy).GetDword("State") == 4; }, 30000))
        << first.Output();
    const struct {
        std::string arg;
        int exit;
        std::string stderrText;
    } cases[] = {
        {"/runjob:No Such Job", 1, "Zarkell'40: There is no job named \"No Such Job\"\n"},
        {"/runjob:Busy", 1, "Zarkell'40: \"Busy\" is already running\n"},
        {"/runjob:Idle", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arg);
        // Standard output is thrown away: what remains came on standard error.
        std::string err;
        EXPECT_EQ(RunProcess({"/bin/sh", "-c", "exec \"$0\" \"$1\" >/dev/null", ZK40_BIN, c.arg},
                             &err, 30000, Env()),
                  c.exit);
        EXPECT_EQ(err, c.stderrText);
    }
    Stop(first);
}

// A bare wake-up (what an older second instance sends) brings the window
// forward but does not carry out the command line left in the store.
TEST_F(InstanceFixture, BareWakeUpDoesNotReplayTheStoredCommandLine) {
    uint32_t id = MakeTestJob(app->jobs, actions, "Replayed", {{.mode = 0}});
    ChildProcess first;
    ASSERT_NO_FATAL_FAILURE(StartRunning(first));
    StoreTime nextRun = JobKey(id).GetDword("NextRun");
    app->base.SetString("CommandLine", "/runjob:Replayed");
    EXPECT_EQ(SendInstanceRequest(paths.runtimeDir, kWakeRequest).kind, InstanceAnswer::Kind::Ok);
    // Requests are carried out in order: once this one is answered, a
    // replayed /runjob would have made the job due.
    EXPECT_EQ(NotifyStoreChanged(paths.runtimeDir).kind, InstanceAnswer::Kind::Ok);
    EXPECT_EQ(JobKey(id).GetDword("NextRun"), nextRun);
    EXPECT_EQ(app->base.GetString("RunJob", "<none>"), "<none>");
    InstanceAnswer bad = SendInstanceRequest(paths.runtimeDir, "FROBNICATE");
    EXPECT_EQ(bad.kind, InstanceAnswer::Kind::Refused);
    Stop(first);
    EXPECT_FALSE(JobRan(id));
}

// Jobs added, changed and deleted with the store editor while the program
// runs: each change applies at once and none is undone at shutdown.
TEST_F(InstanceFixture, StoreEditorChangesApplyWhileRunning) {
    uint32_t doomed = MakeTestJob(app->jobs, actions, "Doomed", {{.mode = 0}});
    // Every hour (the new-job interval), from an hour ago.
    uint32_t everyHour = MakeTestJob(app->jobs, actions, "Hourly", {{.mode = 0}}, 7);
    JobKey(everyHour).SetDword("LastRun", CurrentStoreTime() - 60);
    ChildProcess p;
    ASSERT_NO_FATAL_FAILURE(StartRunning(p));

    // Added: a whole job in one import, then run by name.
    std::string job = jobsPath + "00000BEE";
    WriteFile(
        dir / "fresh.reg",
        "REGEDIT4\n\n[" + job +
            "]\n\"Name\"=\"Fresh Job\"\n\"SchedType\"=dword:00000001\n"
            "\"NumActions\"=dword:00000001\n\n[" +
            job +
            "\\A00000001]\n\"Name\"=\"act\"\n"
            "\"VendorID\"=\"ZKTEST\"\n\"ModuleID\"=\"TESTMOD\"\n\"ActionID\"=\"TESTACT\"\n\n[" +
            job + "\\A00000001\\RID]\n\"RID-0001\"=dword:00000003\n\"RID-0004\"=\"fresh ran\"\n");
    std::string out;
    ASSERT_EQ(Reg({"import", dir / "fresh.reg"}, &out), 0) << out;
    EXPECT_EQ(RunProcess({ZK40_BIN, "/runjob:Fresh Job"}, &out, 30000, Env()), 0);
    EXPECT_EQ(out, "");
    ASSERT_TRUE(WaitFor([&] { return JobRan(0xBEE); }, 30000)) << p.Output();
    EXPECT_EQ(TRegKey(JobKey(0xBEE), "A00000001").GetString("Status"), "fresh ran");

    // Changed: a new name and retry count. The job is found by its new name
    // only, and the values outlive the shutdown.
    ASSERT_EQ(Reg({"add", job, "/v", "Name", "/d", "Renamed Job", "/f"}, &out), 0) << out;
    ASSERT_EQ(Reg({"add", job, "/v", "RetryCount", "/t", "REG_DWORD", "/d", "7", "/f"}, &out), 0)
        << out;
    EXPECT_EQ(HandOverArguments(paths.runtimeDir, {"/runjob:Fresh Job"}).kind,
              InstanceAnswer::Kind::Refused);
    EXPECT_EQ(HandOverArguments(paths.runtimeDir, {"/runjob:Renamed Job"}).kind,
              InstanceAnswer::Kind::Ok);

    // Disabled and enabled again beside the job: its schedule stops and
    // comes back.
    std::string hourly = jobsPath + TJob::KeyNameOf(everyHour);
    ASSERT_NE(JobKey(everyHour).GetDword("NextRun"), kNeverTime);
    ASSERT_EQ(Reg({"add", hourly, "/v", "Disabled", "/t", "REG_DWORD", "/d", "1", "/f"}, &out), 0)
        << out;
    EXPECT_EQ(JobKey(everyHour).GetDword("NextRun"), kNeverTime);
    ASSERT_EQ(Reg({"delete", hourly, "/v", "Disabled", "/f"}, &out), 0) << out;
    EXPECT_NE(JobKey(everyHour).GetDword("NextRun"), kNeverTime);

    // Deleted: gone from the queue, so it can no longer be started.
    ASSERT_EQ(Reg({"delete", jobsPath + TJob::KeyNameOf(doomed), "/f"}, &out), 0) << out;
    InstanceAnswer gone = HandOverArguments(paths.runtimeDir, {"/runjob:Doomed"});
    EXPECT_EQ(gone.kind, InstanceAnswer::Kind::Refused) << gone.text;

    Stop(p);
    EXPECT_EQ(JobKey(0xBEE).GetString("Name"), "Renamed Job");
    EXPECT_EQ(JobKey(0xBEE).GetDword("RetryCount"), 7u);
    EXPECT_FALSE(JobKey(doomed).IsValid()) << "the deleted job came back at shutdown";
    EXPECT_NE(p.Output().find("1 added"), std::string::npos) << p.Output();
}

// A value changed behind the program's back, with no word to it (a plain
// SQLite client, say), is still noticed and not written over at shutdown.
TEST_F(InstanceFixture, UnannouncedChangeIsNoticedAndKept) {
    uint32_t id = MakeTestJob(app->jobs, actions, "Quiet", {{.mode = 0}});
    ChildProcess p;
    ASSERT_NO_FATAL_FAILURE(StartRunning(p));
    JobKey(id).SetString("Name", "Quietly Renamed");
    ASSERT_TRUE(WaitFor(
        [&] {
            return HandOverArguments(paths.runtimeDir, {"/runjob:Quietly Renamed"}).kind ==
                   InstanceAnswer::Kind::Ok;
        },
        30000));
    ASSERT_TRUE(WaitFor([&] { return JobRan(id); }, 30000)) << p.Output();
    JobKey(id).SetDword("Hour", 5);
    Stop(p);
    EXPECT_EQ(JobKey(id).GetDword("Hour"), 5u);
    EXPECT_EQ(JobKey(id).GetString("Name"), "Quietly Renamed");
}

// A job deleted while it runs finishes its run, then leaves for good.
TEST_F(InstanceFixture, JobDeletedWhileRunningFinishesThenLeaves) {
    uint32_t id = MakeTestJob(app->jobs, actions, "Long", {{.mode = 2, .sleepMs = 3000}});
    ChildProcess p;
    ASSERT_NO_FATAL_FAILURE(StartRunning(p));
    ASSERT_EQ(HandOverArguments(paths.runtimeDir, {"/runjob:Long"}).kind, InstanceAnswer::Kind::Ok);
    ASSERT_TRUE(WaitFor([&] { return JobKey(id).GetDword("State") == 4; }, 30000)) << p.Output();
    std::string out;
    ASSERT_EQ(Reg({"delete", jobsPath + TJob::KeyNameOf(id), "/f"}, &out), 0) << out;
    EXPECT_TRUE(p.Running());
    EXPECT_NE(p.Output().find("when their run ends"), std::string::npos) << p.Output();
    EXPECT_EQ(HandOverArguments(paths.runtimeDir, {"/runjob:Long"}).kind,
              InstanceAnswer::Kind::Refused);
    ASSERT_TRUE(WaitFor(
        [&] { return p.Output().find("its last run has ended") != std::string::npos; }, 30000))
        << p.Output();
    EXPECT_FALSE(JobKey(id).IsValid());
    EXPECT_EQ(HandOverArguments(paths.runtimeDir, {"/runjob:Long"}).kind,
              InstanceAnswer::Kind::Refused);
    Stop(p);
    EXPECT_FALSE(JobKey(id).IsValid()) << p.Output();
}

// The program's own switches: usage, build, and mistakes, with no instance
// started and nothing written.
TEST_F(InstanceFixture, HelpVersionAndUnknownSwitches) {
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* says;
    } cases[] = {
        {{"--help"}, 0, "Usage: zarkell40"},
        {{"/?"}, 0, "/runjob:NAME"},
        {{"-h"}, 0, "(Build 29)"},
        {{"--version"}, 0, "(Build 29)"},
        {{"--frobnicate"}, 2, "unknown option \"--frobnicate\""},
        {{"/runjob:X", "/bogus"}, 2, "unknown option \"/bogus\""},
        {{"/runjob"}, 2, "needs a job name"},
        {{"/debug", "/nonsense"}, 2, "unknown option \"/nonsense\""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = c.args;
        argv.insert(argv.begin(), ZK40_BIN);
        std::string out;
        EXPECT_EQ(RunProcess(argv, &out, 30000, Env()), c.exit) << c.args[0] << "\n" << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.args[0] << "\n" << out;
    }
    EXPECT_FALSE(app->RunningBit());
    EXPECT_EQ(app->crash.GetDword("StartupTime"), 0u);
}

}  // namespace

// A stop asked for while the first windowed start waits for its connection
// question (a dialog with its own event loop, before the program's main
// loop) ends the program, the question closed as if cancelled.
TEST_F(InstanceFixture, StopWhileTheFirstStartAsksForTheConnectionEndsTheProgram) {
    ASSERT_EQ(app->base.GetDword("ConnType", 3), 3u);
    ChildProcess p = Start({}, {{"QT_QPA_PLATFORM", "offscreen"}});
    // It answers requests from inside the dialog's loop, so once this is
    // answered the question is on the screen.
    ASSERT_TRUE(WaitFor(
        [&] { return NotifyStoreChanged(paths.runtimeDir).kind == InstanceAnswer::Kind::Ok; },
        20000))
        << p.Output();
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(30000), 0) << p.Output();
    EXPECT_EQ(app->base.GetDword("ConnType", 3), 0u);
}
