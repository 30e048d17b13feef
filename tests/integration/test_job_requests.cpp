// Changes to jobs as they reach the real program through zk40: one
// operation each, answered at once whatever the program is doing (running
// the job, paused), never lost or undone by another change made beside it.
#include <signal.h>

#include <thread>

#include "Zk40Fixture.h"

using namespace zk40;
using namespace zk40test;

namespace {

struct JobRequestFixture : Zk40Fixture {
    uint32_t IdOf(const std::string& name) {
        std::vector<std::string> keys = KeysNamed(name);
        EXPECT_EQ(keys.size(), 1u) << name;
        return keys.empty() ? 0 : static_cast<uint32_t>(strtoul(keys[0].c_str(), nullptr, 16));
    }
    size_t Runs(const std::string& name) {
        auto h = TRunHistory::Open(app->Store()->Path());
        return h ? h->Runs(IdOf(name), 100).size() : 0u;
    }
    void Add(const std::string& name, const std::vector<std::string>& command) {
        std::vector<std::string> args{"add", name, "--kind", "manually", "--"};
        args.insert(args.end(), command.begin(), command.end());
        std::string out;
        ASSERT_EQ(Zk40(args, &out), 0) << out;
    }
    // zk40 with each argument list at once, on threads of their own; the
    // exit codes and outputs in the same order.
    std::vector<std::pair<int, std::string>> AtOnce(
        const std::vector<std::vector<std::string>>& all) {
        std::vector<std::pair<int, std::string>> results(all.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < all.size(); ++i)
            threads.emplace_back([&, i] { results[i].first = Zk40(all[i], &results[i].second); });
        for (std::thread& t : threads) t.join();
        return results;
    }
};

TEST_F(JobRequestFixture, ARenameTakesEffectAtOnceWhileTheJobRuns) {
    Add("slow", {"/bin/sleep", "30"});
    ChildProcess p = StartInstance();
    std::string out;
    ASSERT_EQ(Zk40({"run", "slow"}, &out), 0) << out;
    ASSERT_TRUE(WaitFor([&] { return Job("slow").GetDword("State") == 4; }, 30000)) << p.Output();
    ASSERT_EQ(Zk40({"rename", "slow", "slow2"}, &out), 0) << out;
    // The program knows the job by its new name at once, and it is the job
    // that runs.
    EXPECT_EQ(Zk40({"run", "slow2"}, &out), 1);
    EXPECT_NE(out.find("\"slow2\" is already running"), std::string::npos) << out;
    EXPECT_EQ(Zk40({"run", "slow"}, &out), 1);
    EXPECT_NE(out.find("did you mean \"slow2\""), std::string::npos) << out;
    // Its own change is never taken for another program's.
    EXPECT_EQ(p.Output().find("Taken in from the store"), std::string::npos) << p.Output();
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(60000), 0) << p.Output();
}

// SIGUSR1 pauses the service: nothing starts, but every request is answered
// at once and applies at once; a run asked for is queued and starts when the
// service continues.
TEST_F(JobRequestFixture, APausedProgramAnswersAndQueuesRunsUntilItContinues) {
    Add("other", {"/bin/true"});
    Add("spare", {"/bin/true"});
    ChildProcess p = StartInstance("SysUpd:  Action Loaded.", {"/debug"});
    p.Signal(SIGUSR1);
    ASSERT_TRUE(
        WaitFor([&] { return p.Output().find("Scheduler:  Paused") != std::string::npos; }, 30000))
        << p.Output();
    RunTable(
        *this,
        {
            {{"disable", "spare"},
             0,
             "Disabled \"spare\"",
             [](Zk40Fixture& f) { EXPECT_EQ(f.Job("spare").GetDword("Disabled"), 1u); }},
            {{"run", "other"}, 0, "Queued \"other\": the scheduler is paused", nullptr},
            {{"run", "other"}, 0, "\"other\" is already waiting to run", nullptr},
            {{"list"}, 0, "the scheduler is paused", nullptr},
            {{"run", "other", "--wait", "--timeout", "1"}, 1, "the scheduler is paused", nullptr},
        });
    std::string out;
    for (const char* bad : {"did not answer", "next start"})
        EXPECT_EQ(p.Output().find(bad), std::string::npos) << p.Output();
    EXPECT_EQ(Runs("other"), 0u) << "nothing starts while paused";
    p.Signal(SIGUSR2);
    ASSERT_TRUE(WaitFor([&] { return Runs("other") == 1; }, 30000)) << p.Output();
    ASSERT_EQ(Zk40({"run", "other", "--wait"}, &out), 0) << out;
    EXPECT_EQ(Runs("other"), 2u) << "the queued run ran once";
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(60000), 0) << p.Output();
}

// An accepted run is kept until it starts: an edit beside it does not drop
// it, and asking again adds no second run. The pause holds the start back
// so that the edit surely comes first; a long job keeps the program busy,
// which is when starts wait for the next pass.
TEST_F(JobRequestFixture, AnAcceptedRunIsNeitherDroppedByAnEditNorDoubled) {
    Add("e", {"/bin/true"});
    Add("busy", {"/bin/sleep", "30"});
    ChildProcess p = StartInstance("SysUpd:  Action Loaded.", {"/debug"});
    std::string out;
    ASSERT_EQ(Zk40({"run", "busy"}, &out), 0) << out;
    // Beside a running job, without a pause.
    ASSERT_EQ(Zk40({"run", "e"}, &out), 0) << out;
    ASSERT_EQ(Zk40({"edit", "e", "--retry", "2"}, &out), 0) << out;
    ASSERT_TRUE(WaitFor([&] { return Runs("e") == 1; }, 30000)) << p.Output();
    // Held back by a pause.
    p.Signal(SIGUSR1);
    ASSERT_TRUE(
        WaitFor([&] { return p.Output().find("Scheduler:  Paused") != std::string::npos; }, 30000));
    RunTable(*this, {
                        {{"run", "e"}, 0, "Queued \"e\"", nullptr},
                        {{"edit", "e", "--retry", "3"}, 0, "Changed \"e\"", nullptr},
                        {{"rename", "e", "e2"}, 0, "Renamed", nullptr},
                        {{"run", "e2"}, 0, "already waiting to run", nullptr},
                    });
    p.Signal(SIGUSR2);
    ASSERT_TRUE(WaitFor([&] { return Runs("e2") == 2; }, 30000)) << p.Output();
    // Once more with --wait, which ends with that run's own result.
    ASSERT_EQ(Zk40({"run", "e2", "--wait"}, &out), 0) << out;
    EXPECT_NE(out.find("Completed"), std::string::npos) << out;
    EXPECT_EQ(Runs("e2"), 3u);
    EXPECT_EQ(Job("e2").GetDword("RetryCount"), 3u);
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(60000), 0) << p.Output();
}

// Changes of different settings of one job made at the same moment all
// stay, with the program running and without it. Many jobs in the store
// make each command's read longer, as they did when edits undid each other.
TEST_F(JobRequestFixture, ChangesMadeAtOnceNeverUndoEachOther) {
    for (int i = 0; i < 300; ++i)
        MakeTestJob(app->jobs, TRegKey(app->product, "actions"), "filler " + std::to_string(i),
                    {{}});
    for (bool running : {false, true}) {
        SCOPED_TRACE(running ? "program running" : "no program");
        ChildProcess p;
        if (running) p = StartInstance();
        for (int round = 0; round < 8; ++round) {
            const std::string name = "j" + std::to_string(running) + "-" + std::to_string(round);
            Add(name, {"/bin/true"});
            auto results = AtOnce({{"disable", name},
                                   {"edit", name, "--retry", "3"},
                                   {"edit", name, "--retry-delay", "77"},
                                   {"action", "add", name, "--", "/bin/date"}});
            for (const auto& [rc, out] : results) ASSERT_EQ(rc, 0) << out;
            TRegKey j = Job(name);
            EXPECT_EQ(j.GetDword("Disabled"), 1u) << name;
            EXPECT_EQ(j.GetDword("RetryCount"), 3u) << name;
            EXPECT_EQ(j.GetDword("RetryDelay"), 77u) << name;
            EXPECT_EQ(j.GetDword("NumActions"), 2u) << name;
        }
        if (running) {
            p.Signal(SIGTERM);
            EXPECT_EQ(p.Wait(60000), 0) << p.Output();
        }
    }
}

// Two files whose jobs have the same identifier, imported at the same
// moment: each job gets a key of its own and keeps its own values.
TEST_F(JobRequestFixture, ImportsAtOnceNeverShareAKey) {
    // Many jobs make each command's look at the store longer, as in a
    // store in use.
    for (int i = 0; i < 1000; ++i)
        MakeTestJob(app->jobs, TRegKey(app->product, "actions"), "filler " + std::to_string(i),
                    {{}});
    auto file = [&](const std::string& name, int retries) {
        const std::string path = dir / (name + ".reg");
        WriteFile(path,
                  "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\DENTRAX-14\\Zarkell'40\\jobs\\"
                  "0000ABCD]\n\"Name\"=\"" +
                      name + "\"\n\"RetryCount\"=dword:0000000" + std::to_string(retries) +
                      "\n\"SchedType\"=dword:00000001\n");
        return path;
    };
    for (bool running : {false, true}) {
        SCOPED_TRACE(running ? "program running" : "no program");
        ChildProcess p;
        if (running) p = StartInstance();
        for (int round = 0; round < 10; ++round) {
            const std::string a = "a" + std::to_string(running) + std::to_string(round);
            const std::string b = "b" + std::to_string(running) + std::to_string(round);
            auto results = AtOnce({{"import", file(a, 1)}, {"import", file(b, 2)}});
            for (const auto& [rc, out] : results) ASSERT_EQ(rc, 0) << out;
            ASSERT_EQ(KeysNamed(a).size(), 1u);
            ASSERT_EQ(KeysNamed(b).size(), 1u);
            EXPECT_NE(KeysNamed(a), KeysNamed(b));
            EXPECT_EQ(Job(a).GetDword("RetryCount"), 1u);
            EXPECT_EQ(Job(b).GetDword("RetryCount"), 2u);
        }
        if (running) {
            p.Signal(SIGTERM);
            EXPECT_EQ(p.Wait(60000), 0) << p.Output();
        }
    }
}

}  // namespace

namespace {

// A name is carried to the program as typed, whatever quotes it holds: the
// job that runs is the job named, never one whose name the quotes hide.
TEST_F(JobRequestFixture, NamesWithQuotesRunTheJobNamed) {
    Add("backup", {"/bin/echo", "plain"});
    Add("backup\"", {"/bin/echo", "quoted"});
    Add("\"only\"", {"/bin/echo", "only"});
    ChildProcess p = StartInstance();
    RunTable(*this, {
                        {{"run", "backup\"", "--wait"}, 0, "Completed", nullptr},
                        {{"run", "\"only\"", "--wait"}, 0, "Completed", nullptr},
                        {{"rename", "\"only\"", "'single'"}, 0, "Renamed", nullptr},
                        {{"run", "'single'", "--wait"}, 0, "Completed", nullptr},
                    });
    EXPECT_EQ(Runs("backup\""), 1u);
    EXPECT_EQ(Runs("backup"), 0u) << "the quote does not fall away";
    EXPECT_EQ(Runs("'single'"), 2u);
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(60000), 0) << p.Output();
}

}  // namespace
