// A fresh installation loads the modules that come with the program, with
// no network, and can run a "Run Program" action at once.
#include <gtest/gtest.h>
#include <signal.h>

#include "Process.h"
#include "TestEnv.h"
#include "jobs/Job.h"
#include "store/AppStore.h"

using namespace zk40;
using namespace zk40test;

TEST(Shipped, FreshInstallationLoadsShippedModulesAndRunsAProgram) {
    TempDir dir;
    ScopedXdg xdg(dir);
    std::vector<std::pair<std::string, std::string>> env = {{"ZK40_NO_START_DELAY", "1"}};
    {
        ChildProcess p({ZK40_BIN}, dir / "first.txt", env);
        ASSERT_TRUE(WaitFor(
            [&] { return p.Output().find("SysUpd:  Action Loaded.") != std::string::npos; }, 30000))
            << p.Output();
        p.Signal(SIGTERM);
        ASSERT_EQ(p.Wait(30000), 0);
    }
    AppPaths paths = AppPaths::FromEnvironment();
    TAppStore app(paths);
    TRegKey actions(app.product, "actions");
    TRegKey module(actions, "DNTRX-14\\RUNPROG", false);
    ASSERT_TRUE(module.IsValid());
    EXPECT_EQ(TRegKey(module, "RUNPROGRAM").GetDword("LOADED"), 1u);
    EXPECT_EQ(module.GetDword("VERSION"), 1u);
    EXPECT_TRUE(FileExists(paths.actionsDir + module.GetString("FILENAME")));

    uint32_t id;
    {
        TJob job(app.jobs, actions);
        job.Name = "Greeting";
        uint32_t h = job.AddAction("DNTRX-14", "RUNPROG", "RUNPROGRAM");
        job.SetProperty(h, {.Id = 1, .Code = 2, .Number = 0, .Text = "/bin/echo"});
        job.SetProperty(h, {.Id = 2, .Code = 2, .Number = 0, .Text = "hello"});
        id = job.Id();
    }
    ChildProcess p({ZK40_BIN, "/runjob:Greeting"}, dir / "second.txt", env);
    TRegKey jobKey(app.jobs, TJob::KeyNameOf(id));
    ASSERT_TRUE(WaitFor(
        [&] { return jobKey.GetDword("LastRun") != 0 && jobKey.GetDword("State") == 5; }, 30000))
        << p.Output();
    TRegKey action(jobKey, "A00000001");
    EXPECT_EQ(action.GetDword("LastStat"), 0u) << action.GetString("Status");
    EXPECT_EQ(action.GetString("Status"), "Completed: exit code 0");
    EXPECT_EQ(TRegKey(action, "CHILDREN").GetString("CHILD-00001"), "hello");
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(30000), 0);
    // Loaded once: the second start did not fetch the archive again.
    EXPECT_EQ(p.Output().find("Opening Archive"), std::string::npos) << p.Output();
}
