// The zk40 command as a user runs it: the real binary on a real store, with
// no instance running and with the real program running beside it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <functional>

#include "TestHttpServer.h"
#include "Zk40Fixture.h"
#include "jobs/NextRun.h"

using namespace zk40;
using namespace zk40test;

namespace {

TEST_F(Zk40Fixture, CommandsAgainstTheStoreWithNoInstanceRunning) {
    const std::string file = dir / "jobs.reg";
    WriteFile(dir / "foreign.reg",
              "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\DENTRAX-14\\Zarkell'40\\base]\n"
              "\"UpdateServer\"=\"http://evil.example\"\n");
    auto unchanged = [](Zk40Fixture& f) { EXPECT_EQ(f.JobCount(), 1u); };
    RunTable(*this, {
        {{"add", "poll", "--kind", "every", "--interval", "0:05", "--window", "08:00-18:00",
          "--weekdays", "mon-fri", "--", "/bin/echo", "hello world", "it's"},
         0, "Added \"poll\": every 0:05, Mon\xE2\x80\x93" "Fri 08:00\xE2\x80\x93" "18:00",
         [](Zk40Fixture& f) {
             TRegKey j = f.Job("poll");
             EXPECT_EQ(j.GetDword("SchedType"), uint32_t(kSchedEvery));
             EXPECT_EQ(j.GetDword("Hour") * 60 + j.GetDword("Minute"), 5u);
             EXPECT_EQ(j.GetDword("Flags"), 0x104u | 3u);
             EXPECT_EQ(j.GetDword("StartTime") % 86400, 8u * 3600);
             EXPECT_EQ(j.GetDword("StopTime") % 86400, 18u * 3600);
             TRegKey a(j, "A00000001", false);
             EXPECT_EQ(a.GetString("VendorID") + ":" + a.GetString("ModuleID") + ":" +
                           a.GetString("ActionID"),
                       "DNTRX-14:RUNPROG:RUNPROGRAM");
             TRegKey rid(a, "RID", false);
             EXPECT_EQ(rid.GetString("RID-0001"), "/bin/echo");
             EXPECT_EQ(rid.GetString("RID-0002"), "\"hello world\" \"it's\"");
         }},
        {{"add", "poll", "--kind", "daily", "--", "/bin/true"}, 1, "already exists", unchanged},
        {{"add", "x", "--", "/bin/true"}, 2, "needs --kind", unchanged},
        {{"add", "x", "--kind", "fortnightly", "--", "/bin/true"}, 2, "unknown kind", unchanged},
        {{"add", "x", "--kind", "every", "--interval", "0:00", "--", "/bin/true"}, 1,
         "at least one minute", unchanged},
        {{"add", "x", "--kind", "daily", "--weekdays", "funday", "--", "/bin/true"}, 2,
         "--weekdays", unchanged},
        {{"add", "x", "--kind", "daily"}, 2, "after \"--\"", unchanged},
        {{"list"}, 0, "every 0:05, Mon\xE2\x80\x93" "Fri 08:00\xE2\x80\x93" "18:00", nullptr},
        {{"list", "--json"}, 0, "\"name\": \"poll\"", nullptr},
        {{"list", "--color"}, 2, "unknown option --color", nullptr},
        {{"show", "Poll"}, 1, "did you mean \"poll\"", nullptr},
        {{"show", "poll"}, 0, "arguments:           \"hello world\"", nullptr},
        {{"disable", "poll"}, 0, "Disabled \"poll\"",
         [](Zk40Fixture& f) {
             EXPECT_EQ(f.Job("poll").GetDword("Disabled"), 1u);
             EXPECT_EQ(f.Job("poll").GetDword("NextRun"), kNeverTime);
         }},
        {{"enable", "poll"}, 0, "Enabled \"poll\"",
         [](Zk40Fixture& f) {
             EXPECT_FALSE(f.Job("poll").HasValue("Disabled"));
             EXPECT_NE(f.Job("poll").GetDword("NextRun"), kNeverTime);
         }},
        {{"rename", "poll", "poller"}, 0, "Renamed",
         [](Zk40Fixture& f) { EXPECT_EQ(f.KeysNamed("poll").size(), 0u); }},
        {{"edit", "poller", "--retry", "2", "--retry-delay", "30"}, 0, "Changed \"poller\"",
         [](Zk40Fixture& f) {
             EXPECT_EQ(f.Job("poller").GetDword("RetryCount"), 2u);
             EXPECT_EQ(f.Job("poller").GetDword("RetryDelay"), 30u);
             // The schedule stays as it was.
             EXPECT_EQ(f.Job("poller").GetDword("Minute"), 5u);
         }},
        {{"edit", "poller", "--retry", "many"}, 2, "--retry must be a whole number", nullptr},
        {{"action", "add", "poller", "--name", "second", "--", "/bin/date"}, 0, "Added action 2",
         [](Zk40Fixture& f) { EXPECT_EQ(f.Job("poller").GetDword("NumActions"), 2u); }},
        {{"export", file}, 0, "Exported 1 job(s)",
         [&](Zk40Fixture&) { EXPECT_TRUE(FileExists(file)); }},
        {{"export", file}, 1, "--force", nullptr},
        {{"delete", "poller"}, 0, "Deleted \"poller\"",
         [](Zk40Fixture& f) { EXPECT_EQ(f.JobCount(), 0u); }},
        {{"import", file}, 0, "Imported 1 job(s)",
         [](Zk40Fixture& f) {
             EXPECT_EQ(f.Job("poller").GetDword("NumActions"), 2u);
             EXPECT_EQ(TRegKey(f.Job("poller"), "A00000002\\RID", false).GetString("RID-0001"),
                       "/bin/date");
         }},
        {{"import", file}, 1, "exists already", unchanged},
        {{"import", dir / "foreign.reg"}, 1, "is not a job", [](Zk40Fixture& f) {
             EXPECT_EQ(f.JobCount(), 1u);
             EXPECT_NE(f.app->base.GetString("UpdateServer"), "http://evil.example");
         }},
        {{"run", "poller"}, 1, "not running", nullptr},
        {{"log", "poller"}, 0, "no runs recorded", nullptr},
        {{"next", "--kind", "every", "--interval", "0:05", "--window", "08:00-18:00",
          "--weekdays", "mon-fri", "--from", "2026-12-11 17:52", "--count", "3"},
         0, "Fri 2026-12-11 17:57:00", nullptr},
        {{"frobnicate"}, 2, "unknown command", nullptr},
        {{}, 2, "Usage: zk40", nullptr},
        {{"add", "--help"}, 0, "--interval H:MM", nullptr},
    });
}

// A job made with zk40 gets the next run the scheduler itself gives it:
// for each kind, what `zk40 next` prints first is the NextRun the running
// program stored when it loaded the job.
TEST_F(Zk40Fixture, NextAgreesWithTheProgramsOwnNextRunForEveryKind) {
    struct Kind {
        const char* name;
        std::vector<std::string> options;
    };
    const std::vector<Kind> kinds = {
        {"k-once", {"--kind", "once", "--at", "2031-05-06 07:08"}},
        {"k-yearly", {"--kind", "yearly", "--on", "02-29", "--at", "09:00"}},
        {"k-monthly", {"--kind", "monthly", "--on", "31", "--at", "23:59"}},
        {"k-weekly", {"--kind", "weekly", "--on", "sun", "--at", "06:30"}},
        {"k-daily", {"--kind", "daily", "--at", "03:00", "--weekdays", "sat,sun"}},
        {"k-hourly", {"--kind", "hourly", "--at", "00:45", "--window", "22:00-02:00"}},
        {"k-every", {"--kind", "every", "--interval", "1:30", "--weekdays", "mon-fri"}},
    };
    std::string out;
    for (const Kind& k : kinds) {
        std::vector<std::string> args{"add", k.name};
        args.insert(args.end(), k.options.begin(), k.options.end());
        args.insert(args.end(), {"--", "/bin/true"});
        ASSERT_EQ(Zk40(args, &out), 0) << out;
    }
    ASSERT_EQ(Zk40({"add", "k-manual", "--kind", "manually", "--", "/bin/true"}, &out), 0);
    const StoreTime before = CurrentStoreTime();
    {
        ChildProcess p = StartInstance();
        // Loaded: every job was given State 5 and its next run.
        ASSERT_TRUE(WaitFor(
            [&] {
                for (const Kind& k : kinds)
                    if (Job(k.name).GetDword("State") != 5) return false;
                return true;
            },
            30000));
        p.Signal(SIGTERM);
        ASSERT_EQ(p.Wait(30000), 0) << p.Output();
    }
    const StoreTime after = CurrentStoreTime();
    for (const Kind& k : kinds) {
        const std::string stored = FormatStoreTime(Job(k.name).GetDword("NextRun"));
        // The program worked its next run out at some moment between before
        // and after; the schedule's next occurrence is the same at both ends
        // unless one of them fell across it.
        bool agrees = false;
        std::string seen;
        for (StoreTime from : {before, after}) {
            ASSERT_EQ(Zk40({"next", k.name, "--count", "1", "--from", FormatStoreTime(from)}, &out),
                      0)
                << out;
            seen += out;
            agrees = agrees || out.find(stored) != std::string::npos;
        }
        EXPECT_TRUE(agrees) << k.name << ": the program stored " << stored << "; zk40 said\n"
                            << seen;
    }
    EXPECT_EQ(Job("k-manual").GetDword("NextRun"), kNeverTime);
    ASSERT_EQ(Zk40({"next", "k-manual"}, &out), 0);
    EXPECT_NE(out.find("only when run by hand"), std::string::npos) << out;
}

// Each run the program makes is kept with its result, status lines and the
// output its action kept, and only the newest runs stay. Each /runjob runs
// the failing job once. Runs are counted by the numbers of their records:
// the last-run time has whole seconds, and two runs can fall in one.
TEST_F(Zk40Fixture, LogShowsTheRunsTheProgramRecorded) {
    std::string out;
    ASSERT_EQ(Zk40({"add", "greet", "--kind", "manually", "--", "/bin/sh", "-c",
                    "echo run; echo second line; exit 3"},
                   &out),
              0)
        << out;
    app->base.SetDword("RunHistoryRuns", 2);
    ChildProcess p = StartInstance();
    TRegKey job = Job("greet");
    const uint32_t id = static_cast<uint32_t>(strtoul(KeysNamed("greet")[0].c_str(), nullptr, 16));
    // Run records are numbered as they are written, so the newest tells how
    // many runs there were in all.
    auto newest = [&]() -> int64_t {
        auto h = TRunHistory::Open(app->Store()->Path());
        if (!h) return 0;
        auto runs = h->Runs(id, 1);
        return runs.empty() ? 0 : runs[0].Id;
    };
    int64_t first = 0, seen = 0;
    for (int run = 1; run <= 3; ++run) {
        std::string handOver;
        ASSERT_EQ(RunProcess({ZK40_BIN, "/runjob:greet"}, &handOver, 60000,
                             {{"ZK40_NO_START_DELAY", "1"}}),
                  0)
            << handOver;
        ASSERT_TRUE(WaitFor([&] { return newest() > seen && job.GetDword("State") == 5; }, 30000))
            << p.Output();
        seen = newest();
        if (run == 1) first = seen;
        EXPECT_EQ(seen, first + run - 1) << "runs for " << run << " hand-over(s)\n" << p.Output();
    }
    ASSERT_EQ(Zk40({"log", "greet", "--runs", "5"}, &out), 0) << out;
    // Two runs kept, each failed by its exit code, with both output lines.
    size_t runs = 0;
    for (size_t at = 0; (at = out.find("FAILED", at)) != std::string::npos; ++at) ++runs;
    EXPECT_EQ(runs, 2u) << out;
    EXPECT_NE(out.find("Failed at action 1 (Run /bin/sh): Failed: exit code 3"), std::string::npos)
        << out;
    EXPECT_NE(out.find("     | run\n     | second line\n"), std::string::npos) << out;
    ASSERT_EQ(Zk40({"list"}, &out), 0);
    EXPECT_NE(out.find("failed"), std::string::npos) << out;
    ASSERT_EQ(Zk40({"show", "greet"}, &out), 0);
    EXPECT_NE(out.find("Last run:"), std::string::npos) << out;
    EXPECT_NE(out.find("failed: Failed at action 1"), std::string::npos) << out;
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(30000), 0) << p.Output();
}

// A failed job whose retries are used up stays failed when it is changed
// from outside: reading it again made a fresh retry, so a rename ran it again.
TEST_F(Zk40Fixture, AChangedJobIsNotRunAgainByBeingReadAgain) {
    ChildProcess p = StartInstance();
    std::string out;
    ASSERT_EQ(Zk40({"add", "flaky", "--kind", "manually", "--retry", "1", "--retry-delay", "0",
                    "--", "/bin/false"},
                   &out),
              0)
        << out;
    const uint32_t id = static_cast<uint32_t>(strtoul(KeysNamed("flaky")[0].c_str(), nullptr, 16));
    auto runs = [&] {
        auto h = TRunHistory::Open(app->Store()->Path());
        return h ? h->Runs(id, 10).size() : 0u;
    };
    ASSERT_EQ(Zk40({"run", "flaky"}, &out), 0) << out;
    // The run and its one retry.
    ASSERT_TRUE(WaitFor([&] { return runs() == 2 && Job("flaky").GetDword("State") == 5; }, 30000))
        << p.Output();
    ASSERT_EQ(Job("flaky").GetDword("NextRun"), kNeverTime);
    // The instance has taken the change in when zk40 returns.
    ASSERT_EQ(Zk40({"rename", "flaky", "still flaky"}, &out), 0) << out;
    EXPECT_EQ(Job("still flaky").GetDword("NextRun"), kNeverTime) << p.Output();
    ASSERT_EQ(Zk40({"edit", "still flaky", "--retry-delay", "1"}, &out), 0) << out;
    EXPECT_EQ(Job("still flaky").GetDword("NextRun"), kNeverTime) << p.Output();
    EXPECT_EQ(runs(), 2u);
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(30000), 0) << p.Output();
}

// The bash completion offers a job name so that the shell reads it back as
// that one name, whatever blanks and quotes it holds: typed plainly, with
// backslashes, or inside a quote the user opened.
TEST_F(Zk40Fixture, BashCompletionGivesNamesWithBlanksAndQuotesBackWhole) {
    const std::string backup = "Nightly Backup", quoted = "it's \"quoted\"",
                      dollars = "cost $5 & `more` \\ done";
    std::string out;
    for (const std::string& name : {backup, quoted, dollars, std::string("Nightly")})
        ASSERT_EQ(Zk40({"add", name, "--kind", "manually", "--", "/bin/true"}, &out), 0) << out;
    struct Case {
        std::string typed;  // the word as the user typed it so far
        std::vector<std::string> names;  // what the offers read back as
    };
    const std::vector<Case> cases = {
        {"Nightly\\ ", {backup}},
        {"Nightly\\ B", {backup}},
        {"\"Nightly B", {backup}},
        {"'Nightly B", {backup}},
        {"Nig", {backup, "Nightly"}},
        {"it", {quoted}},
        {"it\\'s\\ \\\"", {quoted}},
        {"\"it's \\\"q", {quoted}},
        {"'it", {quoted}},
        {"co", {dollars}},
        {"\"cost $", {dollars}},
        {"'cost $5 & `", {dollars}},
        {"nobody", {}},
    };
    std::string words;
    for (const Case& c : cases) words += c.typed + "\n";
    WriteFile(dir / "typed.txt", words);
    // Each offer is read back the way the shell would read the completed
    // word: inside the quote the word opened, or as it stands.
    const std::string script =
        std::string("source '") + ZK40_COMPLETION_FILE + "'\n" +
        R"(while IFS= read -r typed; do
  COMP_WORDS=(zk40 show "$typed"); COMP_CWORD=2; COMPREPLY=()
  _zk40
  printf '[%s]' "$typed"
  for reply in "${COMPREPLY[@]}"; do
    case $typed in
      \"*) eval "got=\"$reply\"" ;;
      \'*) eval "got='$reply'" ;;
      *) eval "got=$reply" ;;
    esac
    printf ' <%s>' "$got"
  done
  printf '\n'
done < )" + dir / "typed.txt" + "\n";
    const std::string bin = ZK40_CLI_BIN;
    const std::string path = bin.substr(0, bin.rfind('/')) + ":" + getenv("PATH");
    ASSERT_EQ(RunProcess({"/bin/bash", "--norc", "-c", script}, &out, 60000, {{"PATH", path}}), 0)
        << out;
    // One line per case: "[typed]" and then " <name>" for each offer.
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(out.substr(at, nl - at));
    ASSERT_EQ(lines.size(), cases.size()) << out;
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string head = "[" + cases[i].typed + "]";
        ASSERT_EQ(lines[i].rfind(head, 0), 0u) << lines[i];
        std::vector<std::string> got;
        for (size_t at = head.size(); at < lines[i].size();) {
            size_t end = lines[i].find('>', at + 2);
            ASSERT_NE(end, std::string::npos) << lines[i];
            got.push_back(lines[i].substr(at + 2, end - at - 2));
            at = end + 1;
        }
        std::vector<std::string> want = cases[i].names;
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << "completing " << cases[i].typed;
    }
}

// zk40 types load/unload act in the running program as its types dialog
// does (a module that is not on disk is downloaded), and with none running
// they are kept for its next start.
TEST_F(Zk40Fixture, TypesLoadAndUnloadActInTheRunningProgramOrAtItsNextStart) {
    TestHttpServer server;
    server.Serve("/testmod.zkz", ReadFile(ModuleArchive(ZK40_TESTMODULE_PATH, "testmod.zkz")));
    const std::string type = "ZKTEST:TESTMOD:TESTACT";
    auto loaded = [](uint32_t want) {
        return [want](Zk40Fixture& f) { EXPECT_EQ(f.Loaded(), want); };
    };
    {
        ChildProcess p = StartInstance();
        TRegKey mk = TestTypeInCatalogue("http://" + server.Address() + "/testmod.zkz");
        MakeTestJob(app->jobs, TRegKey(app->product, "actions"), "tester", {TestAction{}});
        RunTable(*this, {
            {{"types", "load", type}, 0, "Queued for download: " + type, loaded(1)},
        });
        ASSERT_TRUE(WaitFor([&] { return Count(p.Output(), "SysUpd:  Action Loaded.") == 2; },
                            30000))
            << p.Output();
        RunTable(*this, {
            {{"run", "tester", "--wait"}, 0, "Completed", nullptr},
            {{"types", "unload", type}, 0, "Unloaded " + type, loaded(0)},
            {{"run", "tester", "--wait"}, 1, "ZKTEST:TESTMOD is not loaded", nullptr},
            // On disk now: loaded at once, with no second download.
            {{"types", "load", type}, 0, "Loaded " + type, loaded(1)},
            {{"types", "load", type}, 0, "Already loaded: " + type, nullptr},
            {{"run", "tester", "--wait"}, 0, "Completed", nullptr},
            {{"types", "load", "NOPE:X:Y"}, 1, "no action type NOPE:X:Y", nullptr},
        });
        EXPECT_EQ(server.RequestCount("/testmod.zkz"), 1);
        p.Signal(SIGTERM);
        ASSERT_EQ(p.Wait(30000), 0) << p.Output();
    }
    const std::string moduleFile =
        paths.actionsDir + TRegKey(app->product, "actions\\ZKTEST\\TESTMOD", false).GetString("FILENAME");
    ASSERT_TRUE(FileExists(moduleFile));
    RunTable(*this, {
        {{"types", "unload", type}, 0, "not running: marked as not loaded", loaded(0)},
    });
    {
        ChildProcess p = StartInstance("System Initialization:  Completed,");
        RunTable(*this, {{{"run", "tester", "--wait"}, 1, "is not loaded", nullptr}});
        p.Signal(SIGTERM);
        ASSERT_EQ(p.Wait(30000), 0) << p.Output();
    }
    // Marked while nothing runs and with the module gone from disk: the
    // next start downloads it again, as the dialog would have.
    ASSERT_EQ(unlink(moduleFile.c_str()), 0);
    RunTable(*this, {{{"types", "load", type}, 0, "not running: marked", loaded(1)}});
    {
        ChildProcess p(
            {ZK40_BIN}, dir / "instance-pending.txt", {{"ZK40_NO_START_DELAY", "1"}});
        ASSERT_TRUE(WaitFor(
            [&] { return p.Output().find("SysUpd:  Action Loaded.") != std::string::npos; },
            30000))
            << p.Output();
        RunTable(*this, {{{"run", "tester", "--wait"}, 0, "Completed", nullptr}});
        EXPECT_EQ(server.RequestCount("/testmod.zkz"), 2);
        EXPECT_FALSE(TRegKey(app->product, "actions\\ZKTEST\\TESTMOD\\TESTACT", false)
                         .HasValue("LOADPENDING"));
        p.Signal(SIGTERM);
        ASSERT_EQ(p.Wait(30000), 0) << p.Output();
    }
}

// zk40 module install takes a signed module file or a module archive
// through the update's install steps, with no instance running or into the
// running one, and refuses anything else.
TEST_F(Zk40Fixture, ModuleInstallTakesSignedModulesAndArchivesAndRefusesTheRest) {
    std::string unsignedFile = ReadFile(ZK40_TESTMODULE_PATH);
    unsignedFile.resize(unsignedFile.size() - 8);  // without its trailer
    WriteFile(dir / "unsigned.dll", unsignedFile);
    WriteFile(dir / "README", "not a module\n");
    std::string out;
    ASSERT_EQ(RunProcess({"/bin/sh", "-c", "cd \"$0\" && zip -q nomodule.zkz README", dir.path()},
                         &out),
              0)
        << out;
    const std::string v2 = ModuleArchive(ZK40_TESTMODULE_V2_PATH, "testmod-v2.zkz");
    auto version = [](uint32_t want) {
        return [want](Zk40Fixture& f) {
            TRegKey mk(f.app->product, "actions\\ZKTEST\\TESTMOD", false);
            EXPECT_EQ(mk.GetDword("VERSION"), want);
            EXPECT_EQ(f.Loaded(), 1u);
            EXPECT_TRUE(FileExists(f.paths.actionsDir + mk.GetString("FILENAME")));
        };
    };
    RunTable(*this, {
        {{"module", "install", dir / "missing.zkz"}, 1, "cannot read", nullptr},
        {{"module", "install", dir / "unsigned.dll"}, 1,
         "is neither a module archive nor a signed module file", nullptr},
        {{"module", "install", dir / "nomodule.zkz"}, 1, "holds no ACTION.DLL", nullptr},
        {{"module", "install", ZK40_TESTMODULE_PATH}, 1,
         "the catalogue has no action types of the module ZKTEST:TESTMOD", nullptr},
        {{"module", "frob"}, 2, "module takes: install FILE", nullptr},
    });
    TestTypeInCatalogue();
    RunTable(*this, {
        {{"module", "install", ZK40_TESTMODULE_PATH}, 0, "Installed ZKTEST:TESTMOD version 1",
         version(1)},
    });
    ChildProcess p = StartInstance();
    MakeTestJob(app->jobs, TRegKey(app->product, "actions"), "tester", {TestAction{}});
    RunTable(*this, {
        {{"run", "tester", "--wait"}, 0, "Completed", nullptr},
        // The running program replaces its loaded module itself.
        {{"module", "install", v2}, 0, "Installed ZKTEST:TESTMOD version 2", version(2)},
        {{"run", "tester", "--wait"}, 0, "Completed", nullptr},
        {{"module", "install", dir / "unsigned.dll"}, 1, "neither a module archive", version(2)},
    });
    EXPECT_TRUE(FileExists(v2)) << "the user's archive is left as it was";
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(30000), 0) << p.Output();
}

TEST_F(Zk40Fixture, ChangesReachTheRunningProgramAtOnceAndSurviveItsShutdown) {
    ChildProcess p = StartInstance();
    std::string out;
    RunTable(*this, {
        {{"add", "greet", "--kind", "manually", "--", "/bin/echo", "hello there"}, 0,
         "Added \"greet\"", nullptr},
        // Taken in without a restart: the program knows the job by its name.
        {{"run", "greet", "--wait"}, 0, "Completed", nullptr},
        {{"log", "greet"}, 0, "| hello there", nullptr},
        {{"run", "nobody", "--wait"}, 1, "no job is named \"nobody\"", nullptr},
        {{"add", "sad", "--kind", "manually", "--", "/bin/false"}, 0, "Added", nullptr},
        {{"run", "sad", "--wait"}, 1, "Failed at action 1", nullptr},
        {{"rename", "greet", "hello"}, 0, "Renamed", nullptr},
        {{"run", "hello", "--wait"}, 0, "Completed", nullptr},
        {{"disable", "hello"}, 0, "Disabled", nullptr},
        {{"add", "sleeper", "--kind", "manually", "--", "/bin/sleep", "30"}, 0, "Added", nullptr},
        {{"run", "sleeper"}, 0, "Started", [](Zk40Fixture& f) {
             ASSERT_TRUE(WaitFor([&] { return f.Job("sleeper").GetDword("State") == 4; }, 30000));
         }},
        {{"delete", "sleeper"}, 1, "You cannot delete a job while it is running!",
         [](Zk40Fixture& f) { EXPECT_EQ(f.KeysNamed("sleeper").size(), 1u); }},
    });
    p.Signal(SIGTERM);
    ASSERT_EQ(p.Wait(60000), 0) << p.Output();
    // Nothing of it was undone by the program's save at shutdown.
    EXPECT_EQ(KeysNamed("greet").size(), 0u);
    EXPECT_EQ(Job("hello").GetDword("Disabled"), 1u);
    EXPECT_EQ(Job("hello").GetDword("NextRun"), kNeverTime);
    auto history = TRunHistory::Open(app->Store()->Path());
    ASSERT_TRUE(history);
    TJob hello(app->jobs, TRegKey(app->product, "actions"),
               static_cast<uint32_t>(strtoul(KeysNamed("hello")[0].c_str(), nullptr, 16)));
    EXPECT_EQ(history->Runs(hello.Id(), 10).size(), 2u);
}

}  // namespace
