// Jobs run by the real program on real module files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <thread>

#include "Catalogue.h"
#include "Process.h"
#include "TestEnv.h"
#include "store/AppStore.h"

using namespace zk40;
using namespace zk40test;

namespace {

struct JobsFixture : ::testing::Test {
    TempDir dir;
    ScopedXdg xdg{dir};
    AppPaths paths = AppPaths::FromEnvironment();
    std::unique_ptr<TAppStore> app;
    TRegKey actions;
    int outputs = 0;

    void SetUp() override {
        paths.MakeFolders();
        app = std::make_unique<TAppStore>(paths);
        actions = TRegKey(app->product, "actions");
        InstallModule(actions, paths.actionsDir, ZK40_TESTMODULE_PATH, "ZKA00001.dll", "ZKTEST",
                      "TESTMOD", {"TESTACT", "TESTACT2"});
    }
    ChildProcess Start(std::vector<std::string> args = {},
                       std::vector<std::pair<std::string, std::string>> env = {}) {
        args.insert(args.begin(), ZK40_BIN);
        env.emplace_back("ZK40_NO_START_DELAY", "1");
        return ChildProcess(args, dir / ("out" + std::to_string(outputs++) + ".txt"), env);
    }
    TRegKey JobKey(uint32_t id) { return TRegKey(app->jobs, TJob::KeyNameOf(id), false); }
    TRegKey ActionKey(uint32_t id, int n) {
        return TRegKey(app->jobs, TJob::KeyNameOf(id) + "\\" + TAction::KeyName(n), false);
    }
    std::string RunRecordValue(const char* name) {
        TRegKey jobs(app->crash, "jobs");
        std::string rec;
        if (jobs.EnumSubKey(0, &rec) != kRegOk) return {};
        return TRegKey(jobs, rec).GetString(name);
    }
    void Stop(ChildProcess& p) {
        p.Signal(SIGTERM);
        EXPECT_EQ(p.Wait(30000), 0) << p.Output();
    }
};

TEST_F(JobsFixture, FailedActionSkipsOthersUnlessTheirTypeRunsAnyway) {
    TRegKey(actions, "ZKTEST\\TESTMOD\\TESTACT2").SetString("RUNLEVEL", "1");
    uint32_t id = MakeTestJob(app->jobs, actions, "Three",
                              {{.actionId = "TESTACT", .mode = 1},
                               {.actionId = "TESTACT2", .mode = 3, .report = "second ran"},
                               {.actionId = "TESTACT", .mode = 0}});
    ChildProcess p = Start({"/runjob:Three"});
    // Reaped: back to State 5 with a run behind it.
    ASSERT_TRUE(WaitFor(
        [&] { return JobKey(id).GetDword("LastRun") != 0 && JobKey(id).GetDword("State") == 5; },
        30000))
        << p.Output();
    EXPECT_EQ(ActionKey(id, 1).GetDword("LastStat"), 1u);
    EXPECT_EQ(ActionKey(id, 2).GetDword("LastStat"), 0u);
    EXPECT_EQ(ActionKey(id, 2).GetString("Status"), "second ran");
    EXPECT_EQ(ActionKey(id, 3).GetDword("LastStat"), 0u);
    EXPECT_EQ(ActionKey(id, 3).GetString("Status"), "Action Status: Skipping Action...");
    EXPECT_EQ(JobKey(id).GetDword("LastStat"), 1u);
    EXPECT_EQ(TRegKey(app->crash, "jobs").CurrentSubKeyCount(), 0u);
    Stop(p);
    // Headless, the status texts are readable lines on standard error.
    EXPECT_NE(p.Output().find("[Three / Three/TESTACT2] second ran"), std::string::npos)
        << p.Output();
}

TEST_F(JobsFixture, KilledDuringAnActionIsReportedInTheCrashLog) {
    MakeTestJob(app->jobs, actions, "Crashy", {{.mode = 2, .sleepMs = 0}}, 9, CurrentStoreTime());
    ChildProcess p = Start();
    ASSERT_TRUE(WaitFor([&] { return RunRecordValue("Action-AID") == "TESTACT"; }, 30000))
        << p.Output();
    p.Signal(SIGKILL);
    p.Wait(10000);
    ChildProcess again = Start();
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(paths.crashLog).find("END-OF-CRASH:") != std::string::npos; }, 30000))
        << again.Output();
    std::string log = ReadFile(paths.crashLog);
    for (const char* line :
         {"RUNJOBCNT:1\n", "\nNAME:Crashy\n", "\nACTION-VID:ZKTEST\n", "\nACTION-MID:TESTMOD\n",
          "\nACTION-AID:TESTACT\n", "\nACTION-NAM:Crashy/TESTACT\n", "\nJOB-1:0000"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_TRUE(
        WaitFor([&] { return TRegKey(app->crash, "jobs").CurrentSubKeyCount() == 0; }, 10000));
    Stop(again);
    // A clean run adds no block.
    ChildProcess third = Start();
    ASSERT_TRUE(
        WaitFor([&] { return third.Output().find("Completed,") != std::string::npos; }, 30000));
    Stop(third);
    EXPECT_EQ(ReadFile(paths.crashLog), log);
}

TEST_F(JobsFixture, ModuleWithWrongTrailerIsRefused) {
    std::string f = paths.actionsDir + "ZKA00001.dll";
    std::string bytes = ReadFile(f);
    bytes[bytes.size() - 3] ^= 0x5A;
    WriteFile(f, bytes);
    uint32_t id = MakeTestJob(app->jobs, actions, "Refused", {{.mode = 0}});
    ChildProcess p = Start({"/runjob:Refused"});
    ASSERT_TRUE(WaitFor(
        [&] { return JobKey(id).GetDword("LastRun") != 0 && JobKey(id).GetDword("State") == 5; },
        30000))
        << p.Output();
    EXPECT_EQ(ActionKey(id, 1).GetDword("LastStat"), 1u);
    EXPECT_EQ(TRegKey(actions, "ZKTEST\\TESTMOD\\TESTACT").GetDword("LOADED"), 0u);
    Stop(p);
    EXPECT_NE(p.Output().find("is not loaded"), std::string::npos) << p.Output();
}

TEST_F(JobsFixture, ShutdownGivesUpOnAnActionThatWillNotStop) {
    MakeTestJob(app->jobs, actions, "Stubborn", {{.mode = 2, .sleepMs = 0, .ignoreStop = 1}}, 9,
                CurrentStoreTime());
    ChildProcess p = Start({}, {{"ZK40_SHUTDOWN_WAIT_MS", "500"}});
    ASSERT_TRUE(WaitFor([&] { return RunRecordValue("Action-AID") == "TESTACT"; }, 30000))
        << p.Output();
    Stop(p);
    EXPECT_NE(p.Output().find("\"Stubborn\" did not stop within"), std::string::npos) << p.Output();
    // The abandoned run is reported at the next start.
    EXPECT_EQ(app->crash.GetDword("Flags") & 1u, 1u);
    ChildProcess again = Start();
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(paths.crashLog).find("NAME:Stubborn") != std::string::npos; }, 30000))
        << again.Output();
    Stop(again);
}

// How often text occurs in hay.
size_t Occurrences(const std::string& hay, const std::string& text) {
    size_t n = 0;
    for (size_t at = hay.find(text); at != std::string::npos; at = hay.find(text, at + 1)) ++n;
    return n;
}

// Gone, or a zombie waiting for whoever adopted it.
bool Gone(pid_t pid) {
    if (kill(pid, 0) != 0) return errno == ESRCH;
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() &&
           (stat[p + 2] == 'Z' || stat[p + 2] == 'X');
}

// The program is killed while a run reports; at each step the next start
// finishes the report, and every interrupted run is in the log once.
TEST_F(JobsFixture, CrashReportIsWrittenOnceWhenTheProgramDiesWhileWritingIt) {
    for (const char* step : {"before-append", "after-append"}) {
        SCOPED_TRACE(step);
        unlink(paths.crashLog.c_str());
        const std::string job = std::string("Crashy-") + step;
        MakeTestJob(app->jobs, actions, job, {{.mode = 2, .sleepMs = 0}}, 9, CurrentStoreTime());
        ChildProcess p = Start();
        ASSERT_TRUE(WaitFor([&] { return RunRecordValue("Name") == job; }, 30000)) << p.Output();
        p.Signal(SIGKILL);
        p.Wait(10000);

        ChildProcess dies = Start({}, {{"ZK40_TEST_DIE_IN_CRASH_REPORT", step}});
        ASSERT_EQ(dies.Wait(30000), 86) << dies.Output();
        EXPECT_EQ(TRegKey(app->crash, "jobs").CurrentSubKeyCount(), 1u) << "not yet deleted";

        ChildProcess again = Start();
        ASSERT_TRUE(WaitFor(
            [&] { return TRegKey(app->crash, "jobs").CurrentSubKeyCount() == 0; }, 30000))
            << again.Output();
        ASSERT_TRUE(WaitFor(
            [&] { return Occurrences(ReadFile(paths.crashLog), "END-OF-CRASH:") == 2; }, 30000));
        Stop(again);
        const std::string log = ReadFile(paths.crashLog);
        EXPECT_EQ(Occurrences(log, "\nNAME:" + job + "\n"), 1u) << log;
        // The start that died while reporting is a crash of its own, with no
        // run of its own to report.
        EXPECT_EQ(Occurrences(log, "RUNJOBCNT:1\n"), 1u) << log;
        EXPECT_EQ(Occurrences(log, "RUNJOBCNT:0\n"), 1u) << log;
        EXPECT_FALSE(app->crash.HasValue("PendingReport"));
    }
}

TEST_F(JobsFixture, UnwritableCrashLogIsSaidSoAndTheRecordsStillGo) {
    MakeTestJob(app->jobs, actions, "Crashy", {{.mode = 2, .sleepMs = 0}}, 9, CurrentStoreTime());
    ChildProcess p = Start();
    ASSERT_TRUE(WaitFor([&] { return RunRecordValue("Action-AID") == "TESTACT"; }, 30000))
        << p.Output();
    p.Signal(SIGKILL);
    p.Wait(10000);
    // A folder where the log should be: it cannot be opened for appending.
    ASSERT_EQ(mkdir(paths.crashLog.c_str(), 0700), 0);
    ChildProcess again = Start();
    ASSERT_TRUE(WaitFor(
        [&] { return again.Output().find("could not be written") != std::string::npos; }, 30000))
        << again.Output();
    EXPECT_NE(again.Output().find("the crash log " + paths.crashLog + " could not be written: Is a directory"),
              std::string::npos)
        << again.Output();
    EXPECT_EQ(again.Output().find("; see " + paths.crashLog), std::string::npos);
    EXPECT_TRUE(
        WaitFor([&] { return TRegKey(app->crash, "jobs").CurrentSubKeyCount() == 0; }, 10000));
    Stop(again);
}

// Programs a "Run Program" action started keep running when the scheduler
// is killed; the next start ends them, as long as they are still those
// programs, and says so in the crash log.
TEST_F(JobsFixture, ProgramsLeftRunningByAKilledRunAreEndedAtTheNextStart) {
    InstallModule(actions, paths.actionsDir, ZK40_RUNPROGRAM_PATH, "ZKA00010.dll", "DNTRX-14",
                  "RUNPROG", {"RUNPROGRAM"});
    const std::string pids = dir / "pids", script = dir / "orphans.sh";
    // The shell leads the group; its background child is a member. (A
    // script file: the action's arguments would take "$" as date codes.)
    WriteFile(script, "sleep 300 &\necho $$ $! > " + pids + "\nwait\n");
    {
        TJob job(app->jobs, actions);
        job.Name = "Long";
        job.SchedType = 9;
        job.Time = CurrentStoreTime();
        uint32_t h = job.AddAction("DNTRX-14", "RUNPROG", "RUNPROGRAM");
        job.SetProperty(h, {.Id = 1, .Code = 2, .Text = "/bin/sh"});
        job.SetProperty(h, {.Id = 2, .Code = 2, .Text = script});
    }
    // A group of someone else's under a recorded id: the start time differs.
    ChildProcess stranger({"/usr/bin/setsid", "/bin/sleep", "300"}, dir / "stranger.txt");
    ChildProcess p = Start();
    ASSERT_TRUE(WaitFor([&] { return ReadFile(pids).find('\n') != std::string::npos; }, 30000))
        << p.Output();
    pid_t shell = 0, child = 0;
    ASSERT_EQ(sscanf(ReadFile(pids).c_str(), "%d %d", &shell, &child), 2);
    const std::string group = "PGRP-" + std::to_string(shell);
    ASSERT_TRUE(WaitFor([&] { return !RunRecordValue(group.c_str()).empty(); }, 30000));
    p.Signal(SIGKILL);
    p.Wait(10000);
    ASSERT_FALSE(Gone(shell));
    ASSERT_FALSE(Gone(child)) << "the run's programs outlive the killed scheduler";

    ASSERT_TRUE(WaitFor([&] { return getpgid(stranger.pid()) == stranger.pid(); }, 10000));
    {
        TRegKey jobs(app->crash, "jobs");
        std::string rec;
        ASSERT_EQ(jobs.EnumSubKey(0, &rec), kRegOk);
        TRegKey(jobs, rec).SetString("PGRP-" + std::to_string(stranger.pid()),
                                     "1 " + ReadFile("/proc/sys/kernel/random/boot_id").substr(0, 36));
    }
    ChildProcess again = Start();
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(paths.crashLog).find("END-OF-CRASH:") != std::string::npos; }, 30000))
        << again.Output();
    const std::string log = ReadFile(paths.crashLog);
    EXPECT_NE(log.find("PROCESS-GROUP:" + std::to_string(shell) +
                       " was still running and has been ended\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("PROCESS-GROUP:" + std::to_string(stranger.pid()) +
                       " left alone: the id now belongs to another program\n"),
              std::string::npos)
        << log;
    EXPECT_TRUE(WaitFor([&] { return Gone(shell) && Gone(child); }, 10000));
    EXPECT_TRUE(stranger.Running());
    EXPECT_NE(again.Output().find("1 program(s) its actions had started were still running"),
              std::string::npos)
        << again.Output();
    Stop(again);
}

// A job made with the store editor alone runs "Run Program" headless on
// its schedule. Every minute, so the first run comes at the next minute.
TEST_F(JobsFixture, EveryMinuteJobMadeWithZk40RegRunsOnSchedule) {
    InstallModule(actions, paths.actionsDir, ZK40_RUNPROGRAM_PATH, "ZKA00010.dll", "DNTRX-14",
                  "RUNPROG", {"RUNPROGRAM"});
    StoreTime now = CurrentStoreTime();
    std::string job = std::string("HKCU\\") + kProductKeyPath + "\\jobs\\0000002A";
    std::string act = job + "\\A00000001";
    std::vector<std::vector<std::string>> cmds = {
        {"add", job, "/v", "Name", "/d", "Echo Every Minute", "/f"},
        {"add", job, "/v", "SchedType", "/t", "REG_DWORD", "/d", "7", "/f"},
        {"add", job, "/v", "Hour", "/t", "REG_DWORD", "/d", "0", "/f"},
        {"add", job, "/v", "Minute", "/t", "REG_DWORD", "/d", "1", "/f"},
        // Last run at the start of this minute: the next is the next minute.
        {"add", job, "/v", "LastRun", "/t", "REG_DWORD", "/d", std::to_string(now - now % 60),
         "/f"},
        {"add", job, "/v", "NumActions", "/t", "REG_DWORD", "/d", "1", "/f"},
        {"add", act, "/v", "Name", "/d", "echo", "/f"},
        {"add", act, "/v", "VendorID", "/d", "DNTRX-14", "/f"},
        {"add", act, "/v", "ModuleID", "/d", "RUNPROG", "/f"},
        {"add", act, "/v", "ActionID", "/d", "RUNPROGRAM", "/f"},
        {"add", act + "\\RID", "/v", "RID-0001", "/d", "/bin/echo", "/f"},
        {"add", act + "\\RID", "/v", "RID-0002", "/d", "hello from $Y", "/f"},
    };
    for (auto c : cmds) {
        c.insert(c.begin(), ZK40_REG_BIN);
        std::string out;
        ASSERT_EQ(RunProcess(c, &out), 0) << out;
    }
    ChildProcess p = Start();
    ASSERT_TRUE(WaitFor([&] { return JobKey(0x2A).GetDword("LastRun") > now; }, 90000))
        << p.Output();
    ASSERT_TRUE(WaitFor([&] { return JobKey(0x2A).GetDword("State") == 5; }, 30000));
    EXPECT_EQ(ActionKey(0x2A, 1).GetDword("LastStat"), 0u) << p.Output();
    EXPECT_EQ(JobKey(0x2A).GetDword("NextRun") % 60, 0u);
    EXPECT_GT(JobKey(0x2A).GetDword("NextRun"), JobKey(0x2A).GetDword("LastRun"));
    std::string year = std::to_string(ToCivil(now).year);
    TRegKey children(ActionKey(0x2A, 1), "CHILDREN", false);
    EXPECT_EQ(children.GetString("CHILD-00001"), "hello from " + year);
    Stop(p);
    EXPECT_NE(p.Output().find("[Echo Every Minute / echo]"), std::string::npos) << p.Output();
}

}  // namespace
