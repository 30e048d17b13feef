// The Run Program action module and the host test module, loaded as the
// real signed shared objects into the stand-in host of ModuleHarness, with
// real child processes.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "../../modules/runprogram/RunProgramSettings.h"
#include "ModuleHarness.h"
#include "Process.h"
#include "TestEnv.h"
#include "modules/ModuleFile.h"

using namespace zk40::runprogram;
using zk40test::AsyncRun;
using zk40test::ModuleHarness;

namespace {

// Bounds for waits that only guard against a hang; nothing asserts how long
// anything took. Programs that a test means to be stopped sleep far longer,
// so a stop that does nothing cannot pass for one that works.
constexpr int kHangMs = 60000;
constexpr const char* kLongSleep = "300";

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Gone, or a zombie that only waits for its parent (an orphan waits for
// init, which may be slow to collect it in a container).
bool Gone(pid_t pid) {
    if (kill(pid, 0) != 0) return errno == ESRCH;
    std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() &&
           (stat[p + 2] == 'Z' || stat[p + 2] == 'X');
}

// The process ids a test script wrote to `path` once it is running.
std::vector<pid_t> WaitForPids(const std::string& path, size_t count) {
    std::vector<pid_t> pids;
    zk40test::WaitFor(
        [&] {
            std::string text = Slurp(path);
            if (text.empty() || text.back() != '\n') return false;
            std::istringstream in(text);
            pids.clear();
            for (pid_t p; in >> p;) pids.push_back(p);
            return pids.size() == count;
        },
        kHangMs);
    return pids;
}

// After a failed check the test's programs may still run and would hold the
// run threads; this ends them so the failure is reported instead of a hang.
struct KillIfFailed {
    std::vector<pid_t> pids;
    ~KillIfFailed() {
        if (::testing::Test::HasFailure())
            for (pid_t p : pids)
                if (!Gone(p)) kill(p, SIGKILL);
    }
};

class RunProgramModule : public ::testing::Test {
protected:
    void SetUp() override {
        blocksBefore_ = zk40test::OutstandingHostBlocks();
        ASSERT_TRUE(host_.Loaded()) << host_.LoadError();
        ASSERT_EQ(host_.Start(7), 1);
    }
    void TearDown() override {
        EXPECT_EQ(zk40test::OutstandingHostBlocks(), blocksBefore_)
            << "blocks allocated across the module boundary were not all released";
    }

    void Configure(ZKActionHandle h, const std::string& program, const std::string& args = "") {
        host_.SetText(h, kProgramRid, program);
        host_.SetText(h, kArgumentsRid, args);
    }
    void Shell(ZKActionHandle h, const std::string& script) {
        Configure(h, "/bin/sh", "-c '" + script + "'");
    }

    // Runs the action on a thread of its own, as a job thread does.
    int Run(ZKActionHandle h) {
        AsyncRun run(host_, kActionId, h);
        if (!run.Wait(kHangMs)) {
            ADD_FAILURE() << "the run did not end; stopping it";
            host_.StopAction(kActionId, h);
            run.Wait(kHangMs);
        }
        return run.Result();
    }
    std::string FinalStatus(ZKActionHandle h) const {
        auto s = host_.Statuses(h);
        return s.empty() ? "<no status>" : s.back();
    }

    ModuleHarness host_{ZK40_RUNPROGRAM_PATH};
    zk40test::TempDir dir_;
    long blocksBefore_ = 0;
};

TEST_F(RunProgramModule, IdentityAndActionType) {
    EXPECT_EQ(zk40::CheckModuleFile(ZK40_RUNPROGRAM_PATH), zk40::ModuleFileCheck::Passes);
    const std::pair<uint32_t, const char*> strings[] = {
        {ZK_STR_VENDOR_ID, "DNTRX-14"}, {ZK_STR_VENDOR_NAME, "Dentrax-14"},
        {ZK_STR_MODULE_ID, "RUNPROG"},  {ZK_STR_MODULE_NAME, "Run Program"},
        {ZK_STR_VERSION, "1"},          {ZK_STR_VENDOR_WEB, ""},
    };
    for (const auto& [id, text] : strings) EXPECT_EQ(host_.LoadString(id), text) << id;
    EXPECT_EQ(host_.LoadString(ZK_STR_VENDOR_ID, 4), "DNT");
    std::string data = host_.LoadString(ZK_STR_DATA);
    EXPECT_FALSE(data.empty());
    EXPECT_LE(data.size(), 80u);

    EXPECT_EQ(host_.EnableAction(kActionId), 1);
    EXPECT_EQ(host_.EnableAction("RUNPROGRAMX"), 0);
    EXPECT_EQ(host_.GetActionData(kActionId, &data), 1);
    EXPECT_FALSE(data.empty());
    EXPECT_EQ(host_.GetActionData("OTHER", &data), 0);
    for (const char* name :
         {"ZKSetHost", "ZKLoadString", "ZKStart", "ZKEnableAction", "ZKDisableAction",
          "ZKInitAction", "ZKDeinitAction", "ZKRunAction", "ZKStopAction", "ZKPreferences",
          "ZKCleanupAction", "ZKGetActionData", "ZKTrayCallback"})
        EXPECT_TRUE(host_.HasExport(name)) << name;
}

TEST_F(RunProgramModule, EchoReportsItsRunAndOutputAndWritesDefaults) {
    Configure(1, "/bin/echo", R"("hello   world" again)");
    EXPECT_EQ(Run(1), 1);
    EXPECT_EQ(host_.Statuses(1),
              (std::vector<std::string>{R"(Running /bin/echo "hello   world" again)",
                                        "Completed: exit code 0"}));
    EXPECT_EQ(host_.Percents(1), (std::vector<int>{0, 100}));
    EXPECT_EQ(host_.Children(1), (std::map<uint32_t, std::string>{{1, "hello   world again"}}));
    // Settings the action never had are stored with their defaults.
    EXPECT_EQ(host_.Text(1, kWorkingFolderRid), "");
    EXPECT_EQ(host_.Number(1, kTimeLimitRid), 0u);
    EXPECT_EQ(host_.Text(1, kAcceptedExitCodesRid), "0");
    EXPECT_EQ(host_.Number(1, kOutputLinesRid), 10u);
}

// Each argument is printed in brackets, so the boundaries are visible.
TEST_F(RunProgramModule, ArgumentsAreSplitLikeAShellWithoutOne) {
    struct Case {
        std::string args;
        std::vector<std::string> lines;
    } cases[] = {
        {R"(a "b c" 'd e')", {"[a]", "[b c]", "[d e]"}},
        {R"("" x '')", {"[]", "[x]", "[]"}},
        {R"(a\ b "q\"uote \\ end" 's\x')", {"[a b]", R"([q"uote \ end])", R"([s\x])"}},
        {R"(pre"mid dle"post)", {"[premid dlepost]"}},
        // No shell: separators and substitutions arrive as plain text.
        {R"(x;echo injected |cat $$(id) `id`)",
         {"[x;echo]", "[injected]", "[|cat]", "[$(id)]", "[`id`]"}},
        {"\t a \t\t b  ", {"[a]", "[b]"}},
        // Inside double quotes a backslash before other characters stays.
        {R"("C:\Temp\x" "a\.b")", {R"([C:\Temp\x])", R"([a\.b])"}},
    };
    ZKActionHandle h = 1;
    for (const auto& c : cases) {
        Configure(h, "printf", R"('[%s]\n' )" + c.args);
        EXPECT_EQ(Run(h), 1) << c.args << ": " << FinalStatus(h);
        std::map<uint32_t, std::string> expected;
        for (size_t i = 0; i < c.lines.size(); ++i) expected[i + 1] = c.lines[i];
        EXPECT_EQ(host_.Children(h), expected) << c.args;
        ++h;
    }
}

TEST_F(RunProgramModule, KeepsTheLastLinesOfOutputInPlaceOfOldChildren) {
    struct Case {
        const char* what;
        std::string script;
        uint32_t keep;
        std::map<uint32_t, std::string> children;
    } cases[] = {
        {"stdout and stderr, last 3",
         "seq 1 5; echo oops >&2",
         3,
         {{1, "4"}, {2, "5"}, {3, "oops"}}},
        {"unfinished last line", R"(printf "one\ntwo")", 10, {{1, "one"}, {2, "two"}}},
        {"CRLF and control characters", R"(printf "a\r\nb\tc\001\n")", 10, {{1, "a"}, {2, "b c "}}},
        {"long line", R"(printf "%0300d\n" 0)", 10, {{1, std::string(256, '0')}}},
        {"no UTF-8 character split by the cut",
         R"(head -c 255 /dev/zero | tr "\0" a; printf "\303\251tail\n")",
         10,
         {{1, std::string(255, 'a')}}},
        {"nothing kept", "echo hi", 0, {}},
        // Far more than a pipe holds: the output must be read while the
        // program runs, or it blocks for ever.
        {"more than a pipe buffer", "seq 1 100000", 2, {{1, "99999"}, {2, "100000"}}},
    };
    ZKActionHandle h = 1;
    for (const auto& c : cases) {
        host_.SetChildren(h, {{1, "old"}, {2, "old"}, {3, "old"}, {4, "old"}});
        Shell(h, c.script);
        host_.SetNumber(h, kOutputLinesRid, c.keep);
        EXPECT_EQ(Run(h), 1) << c.what << ": " << FinalStatus(h);
        EXPECT_EQ(host_.Children(h), c.children) << c.what;
        ++h;
    }
}

TEST_F(RunProgramModule, ExitCodeDecidesSuccessByTheAcceptedList) {
    struct Case {
        std::string script;
        std::string accepted;
        int result;
        std::string status;
    } cases[] = {
        {"exit 0", "0", 1, "Completed: exit code 0"},
        {"exit 3", "0,3", 1, "Completed: exit code 3"},
        {"exit 3", "0", 0, "Failed: exit code 3"},
        {"exit 4", " 0 , 3-5 ", 1, "Completed: exit code 4"},
        {"exit 6", "0,3-5", 0, "Failed: exit code 6"},
        {"exit 0", "1-2", 0, "Failed: exit code 0"},
        {"exit 0", "", 1, "Completed: exit code 0"},
        // "$$" is the date code for a plain "$".
        {"kill -9 $$$$", "0-255", 0, "Failed: killed by signal 9"},
    };
    ZKActionHandle h = 1;
    for (const auto& c : cases) {
        Shell(h, c.script);
        host_.SetText(h, kAcceptedExitCodesRid, c.accepted);
        EXPECT_EQ(Run(h), c.result) << c.script << " / " << c.accepted;
        EXPECT_EQ(FinalStatus(h), c.status) << c.script << " / " << c.accepted;
        ++h;
    }
}

TEST_F(RunProgramModule, ProgramThatCannotStartFailsWithTheReason) {
    const std::string marker = dir_ / "started";
    const std::string file = dir_ / "plain-file";
    zk40test::WriteFile(file, "not a program\n");
    chmod(file.c_str(), 0644);
    struct Case {
        std::string program, args, folder, accepted;
        std::string status;
    } cases[] = {
        {"/bin/nothere", "", "", "0",
         "Failed: cannot start /bin/nothere: No such file or directory"},
        {"zk40-no-such-program", "", "", "0",
         "Failed: cannot start zk40-no-such-program: No such file or directory"},
        {file, "", "", "0", "Failed: cannot start " + file + ": Permission denied"},
        {"  ", "", "", "0", "Failed: no program is set"},
        {"touch", marker, "/nonexistent-zk40", "0",
         "Failed: working folder /nonexistent-zk40: No such file or directory"},
        {"touch", marker, file, "0", "Failed: working folder " + file + " is not a folder"},
        {"touch", marker + R"( "open)", "", "0",
         R"(Failed: the arguments have an unterminated " quote)"},
        {"touch", marker, "", "0,x",
         R"(Failed: the accepted exit codes "0,x" are not a list of codes 0 to 255 such as 0,1,3-5)"},
        {"touch", marker, "", "256",
         R"(Failed: the accepted exit codes "256" are not a list of codes 0 to 255 such as 0,1,3-5)"},
        {"touch", marker, "", "5-3",
         R"(Failed: the accepted exit codes "5-3" are not a list of codes 0 to 255 such as 0,1,3-5)"},
    };
    ZKActionHandle h = 1;
    for (const auto& c : cases) {
        host_.SetChildren(h, {{1, "old"}});
        Configure(h, c.program, c.args);
        host_.SetText(h, kWorkingFolderRid, c.folder);
        host_.SetText(h, kAcceptedExitCodesRid, c.accepted);
        EXPECT_EQ(Run(h), 0) << c.status;
        EXPECT_EQ(FinalStatus(h), c.status);
        EXPECT_EQ(host_.Percents(h), (std::vector<int>{0, 100})) << c.status;
        EXPECT_TRUE(host_.Children(h).empty()) << c.status;
        EXPECT_FALSE(zk40test::FileExists(marker)) << c.status;
        ++h;
    }
}

TEST_F(RunProgramModule, TimeLimitStopsTheProgram) {
    Configure(1, "sleep", kLongSleep);
    host_.SetNumber(1, kTimeLimitRid, 1);
    EXPECT_EQ(Run(1), 0);
    EXPECT_EQ(FinalStatus(1), "Failed: time limit of 1 s reached");
}

TEST_F(RunProgramModule, StopEndsTheWholeProcessGroupOfThatRunOnly) {
    const std::string pidsA = dir_ / "a.pids", pidsB = dir_ / "b.pids";
    // A starts a background child of its own; B is a single process.
    Shell(1, std::string("sleep ") + kLongSleep + " & echo $$$$ $$! > " + pidsA + "; wait");
    Shell(2, "echo $$$$ > " + pidsB + "; exec sleep " + kLongSleep);
    AsyncRun a(host_, kActionId, 1);
    AsyncRun b(host_, kActionId, 2);
    std::vector<pid_t> inA = WaitForPids(pidsA, 2), inB = WaitForPids(pidsB, 1);
    KillIfFailed cleanup{inA};
    cleanup.pids.insert(cleanup.pids.end(), inB.begin(), inB.end());
    ASSERT_EQ(inA.size(), 2u);
    ASSERT_EQ(inB.size(), 1u);
    EXPECT_EQ(getpgid(inA[0]), inA[0]) << "the program runs in a process group of its own";
    EXPECT_EQ(getpgid(inA[1]), inA[0]);

    EXPECT_EQ(host_.StopAction(kActionId, 3), 0) << "no run of handle 3";
    EXPECT_EQ(host_.StopAction(kActionId, 1), 1);
    ASSERT_TRUE(a.Wait(kHangMs));
    EXPECT_EQ(a.Result(), 0);
    EXPECT_EQ(FinalStatus(1), "Stopped");
    EXPECT_TRUE(Gone(inA[0]));
    EXPECT_TRUE(zk40test::WaitFor([&] { return Gone(inA[1]); }, kHangMs));
    EXPECT_FALSE(Gone(inB[0])) << "stopping one run touched another";
    EXPECT_EQ(host_.StopAction(kActionId, 1), 0) << "a finished run is still found";

    EXPECT_EQ(host_.StopAction(kActionId, 2), 1);
    ASSERT_TRUE(b.Wait(kHangMs));
    EXPECT_EQ(b.Result(), 0);
    EXPECT_TRUE(Gone(inB[0]));
}

// The stop arrives while the module is still reading its settings.
TEST_F(RunProgramModule, StopBeforeTheStartKeepsTheProgramFromRunning) {
    const std::string marker = dir_ / "started";
    bool stopped = false;
    host_.OnRequest([&](uint32_t msg, uintptr_t) {
        if (msg == ZKM_ACTION_STATUS && !stopped) stopped = host_.StopAction(kActionId, 1) == 1;
    });
    Configure(1, "touch", marker);
    EXPECT_EQ(Run(1), 0);
    EXPECT_TRUE(stopped) << "the run was not registered before its first report";
    EXPECT_EQ(FinalStatus(1), "Stopped");
    EXPECT_FALSE(zk40test::FileExists(marker));
}

TEST_F(RunProgramModule, ProgramIgnoringTermIsKilledAfterTheGrace) {
    const std::string pids = dir_ / "pids";
    Shell(1, R"(trap "" TERM; echo $$$$ > )" + pids + "; exec sleep " + kLongSleep);
    AsyncRun run(host_, kActionId, 1);
    std::vector<pid_t> pid = WaitForPids(pids, 1);
    ASSERT_EQ(pid.size(), 1u);
    EXPECT_EQ(host_.StopAction(kActionId, 1), 1);
    KillIfFailed cleanup{pid};
    ASSERT_TRUE(run.Wait(kHangMs)) << "SIGKILL never followed the ignored SIGTERM";
    EXPECT_EQ(run.Result(), 0);
    EXPECT_EQ(FinalStatus(1), "Stopped");
    EXPECT_TRUE(Gone(pid[0]));
}

TEST_F(RunProgramModule, DateCodesReachProgramArgumentsAndFolder) {
    host_.SetDate(1999, 3, 5);
    std::filesystem::create_directory(dir_ / "run-1999");
    std::filesystem::create_symlink("/bin/sh", dir_ / "tool-1999");
    Configure(1, dir_ / "tool-$Y", R"(-c 'echo "$$1"; pwd' zk File-$Y$m$d.log)");
    host_.SetText(1, kWorkingFolderRid, dir_ / "run-$Y");
    EXPECT_EQ(Run(1), 1) << FinalStatus(1);
    EXPECT_EQ(host_.Children(1), (std::map<uint32_t, std::string>{
                                     {1, "File-19990305.log"},
                                     {2, std::filesystem::canonical(dir_ / "run-1999").string()}}));
}

TEST_F(RunProgramModule, EmptyWorkingFolderIsTheHomeFolder) {
    const char* saved = getenv("HOME");
    std::string savedHome = saved ? saved : "";
    setenv("HOME", dir_.path().c_str(), 1);
    Configure(1, "pwd");
    EXPECT_EQ(Run(1), 1) << FinalStatus(1);
    if (saved)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
    EXPECT_EQ(
        host_.Children(1),
        (std::map<uint32_t, std::string>{{1, std::filesystem::canonical(dir_.path()).string()}}));
}

// The action is deleted while its program runs: the host refuses the child
// blocks, which stay the module's to release (checked in TearDown).
TEST_F(RunProgramModule, BlocksRefusedByTheHostAreReleased) {
    host_.OnRequest([this](uint32_t msg, uintptr_t) {
        if (msg == ZKM_ACTION_STATUS) host_.DropHandle(1);
    });
    Shell(1, "seq 1 5");
    EXPECT_EQ(Run(1), 1);
    EXPECT_TRUE(host_.Children(1).empty());
}

// The module the host's own tests drive, checked once against this harness
// so that a fault in it is not mistaken for a fault of the host.
struct TestModuleBuild {
    std::string path;
    const char* version;
};

const TestModuleBuild kTestModuleBuilds[] = {{ZK40_TESTMODULE_PATH, "1"},
                                             {ZK40_TESTMODULE_V2_PATH, "2"}};

TEST(TestModule, IdentityAndRefusalsOnRequest) {
    for (const auto& build : kTestModuleBuilds) {
        SCOPED_TRACE(build.path);
        ModuleHarness host(build.path);
        ASSERT_TRUE(host.Loaded()) << host.LoadError();
        EXPECT_EQ(zk40::CheckModuleFile(build.path), zk40::ModuleFileCheck::Passes);
        EXPECT_EQ(host.LoadString(ZK_STR_VENDOR_ID), "ZKTEST");
        EXPECT_EQ(host.LoadString(ZK_STR_MODULE_ID), "TESTMOD");
        EXPECT_EQ(host.LoadString(ZK_STR_VERSION), build.version);
        std::string data;
        EXPECT_EQ(host.GetActionData("TESTACT2", &data), 1);
        EXPECT_EQ(data, "test data TESTACT2");
        EXPECT_EQ(host.GetActionData("NOPE", &data), 0);

        EXPECT_EQ(host.Start(), 1);
        EXPECT_EQ(host.EnableAction("TESTACT"), 1);
        EXPECT_EQ(host.EnableAction("TESTACT2"), 1);
        EXPECT_EQ(host.EnableAction("NOPE"), 0);
        setenv("ZK40_TEST_FAIL_START", "1", 1);
        setenv("ZK40_TEST_FAIL_ENABLE", "1", 1);
        EXPECT_EQ(host.Start(), 0);
        EXPECT_EQ(host.EnableAction("TESTACT"), 0);
        unsetenv("ZK40_TEST_FAIL_START");
        unsetenv("ZK40_TEST_FAIL_ENABLE");
    }
}

TEST(TestModule, ModesChosenByProperties) {
    zk40test::TempDir dir;
    const std::string log = dir / "runs.log";
    setenv("ZK40_TEST_MODULE_LOG", log.c_str(), 1);
    const long blocksBefore = zk40test::OutstandingHostBlocks();
    {
        ModuleHarness host(ZK40_TESTMODULE_PATH);
        ASSERT_TRUE(host.Loaded()) << host.LoadError();
        ASSERT_EQ(host.Start(), 1);
        host.SetDate(2031, 1, 2);

        host.SetNumber(1, 1, 0);
        EXPECT_EQ(host.RunAction("TESTACT", 1), 1);
        host.SetNumber(2, 1, 1);
        EXPECT_EQ(host.RunAction("TESTACT2", 2), 0);

        host.SetNumber(3, 1, 3);
        host.SetText(3, 4, "reported");
        EXPECT_EQ(host.RunAction("TESTACT", 3), 1);
        EXPECT_EQ(host.Statuses(3), (std::vector<std::string>{"reported"}));
        EXPECT_EQ(host.Statuses(3, ZKM_ACTION_STATUS2), (std::vector<std::string>{"second"}));
        EXPECT_EQ(host.Percents(3), (std::vector<int>{50}));

        host.SetNumber(4, 1, 4);
        EXPECT_EQ(host.RunAction("TESTACT", 4), 1);
        EXPECT_EQ(host.Text(4, 0x10), "set-from-run");
        EXPECT_EQ(host.Text(4, 0x11, ZK_PROP_VENDOR_TEXT), "vendor-default");
        EXPECT_EQ(host.Text(4, 0x12), "vendor-default");
        EXPECT_EQ(host.Number(4, 0x13), 1u);
        EXPECT_EQ(host.Text(4, 0x14), "2031");
        EXPECT_EQ(host.Text(4, 0x15), "Error text 2");
        EXPECT_EQ(host.Children(4), (std::map<uint32_t, std::string>{{1, "child one"}}));
        EXPECT_EQ(host.SubItems(4),
                  (std::map<std::pair<uint32_t, uint32_t>, std::string>{{{1, 1}, "sub one"}}));

        // Sleeps until stopped (RID 2 = 0).
        host.SetNumber(5, 1, 2);
        host.SetNumber(5, 2, 0);
        AsyncRun run(host, "TESTACT", 5);
        EXPECT_TRUE(zk40test::WaitFor([&] { return host.StopAction("TESTACT", 5) == 1; }, kHangMs));
        ASSERT_TRUE(run.Wait(kHangMs));
        EXPECT_EQ(run.Result(), 0);
    }
    unsetenv("ZK40_TEST_MODULE_LOG");
    EXPECT_EQ(zk40test::ReadFile(log), "1 TESTACT\n2 TESTACT2\n3 TESTACT\n4 TESTACT\n5 TESTACT\n");
    EXPECT_EQ(zk40test::OutstandingHostBlocks(), blocksBefore);
}

}  // namespace
