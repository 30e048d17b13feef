// A stop request (SIGTERM, as systemctl stop sends it) while an update waits
// for running jobs: the program ends within its shutdown bound and starts
// nothing it downloaded.
#include <gtest/gtest.h>
#include <signal.h>

#include "Catalogue.h"
#include "ProgramFixture.h"
#include "TestHttpServer.h"

using namespace zk40;
using namespace zk40test;

namespace {

struct UpdateStopFixture : RealProgramFixture {
    TestHttpServer server;

    void SetUp() override {
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        app->base.SetDword("ShippedModules", 1);
        app->base.SetDword("ConnType", 0);
        InstallTestModule();
        // A job whose action never ends and ignores every request to stop.
        MakeTestJob(app->jobs, actions, "Forever", {{.mode = 2, .sleepMs = 0, .ignoreStop = 1}});
    }
    // Starts the program with the job running and the configuration at
    // /cfg fetched at once; waits until the output shows waitText, then
    // sends SIGTERM. The exit code, or -1 when it did not end.
    int RunAndStop(const std::string& waitText, std::string* output) {
        app->base.SetString("LocalUpdate", "http://" + server.Address() + "/cfg");
        ChildProcess p = Start({"/runjob:Forever"},
                               {{"ZK40_SHUTDOWN_WAIT_MS", "1000"}, {"ZK40_VERBOSE", "1"}});
        bool reached = WaitFor(
            [&] { return p.Output().find(waitText) != std::string::npos; }, 30000);
        EXPECT_TRUE(reached) << p.Output();
        p.Signal(SIGTERM);
        int rc = p.Wait(30000);
        *output = p.Output();
        return rc;
    }
};

TEST_F(UpdateStopFixture, StopWhileAModuleReplacementWaitsForJobsEndsTheProgram) {
    const std::string base = "http://" + server.Address();
    server.Serve("/cfg", "VENDORID: ZKTEST\nMODULEID: TESTMOD\nAVAILVER: 2\nURL: " + base +
                             "/testmod.zkz\nACTIONID: TESTACT\nDESC: Test\n");
    server.Serve("/testmod.zkz", ZipBytes({{"ACTION.DLL", ReadFile(ZK40_TESTMODULE_V2_PATH)}}));
    std::string out;
    EXPECT_EQ(RunAndStop("SysUpd:  Loading Action...", &out), 0) << out;
    EXPECT_NE(out.find("Replacement of module \"ZKTEST:TESTMOD\" abandoned"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\"Forever\" did not stop within 1 s"), std::string::npos) << out;
    // The old module stays installed; the download waits for the next start.
    EXPECT_EQ(TRegKey(actions, "ZKTEST\\TESTMOD").GetDword("VERSION"), 1u);
    EXPECT_EQ(ReadFile(paths.actionsDir + "ZKA00001.dll"), ReadFile(ZK40_TESTMODULE_PATH));
    EXPECT_TRUE(FileExists(TRegKey(actions, "ZKTEST\\TESTMOD").GetString("TEMPFILE")));
}

TEST_F(UpdateStopFixture, StopWhileAnUpgradeWaitsForJobsAbandonsTheUpgrade) {
    const std::string marker = dir / "upgrade-ran";
    const std::string base = "http://" + server.Address();
    server.Serve("/cfg", "AVAILVER: 30\nURL: " + base + "/upgrade\n");
    server.Serve("/upgrade", "#!/bin/sh\necho started > '" + marker + "'\n");
    std::string out;
    EXPECT_EQ(RunAndStop("SysUpd:  Installing Base Upgrade...", &out), 0) << out;
    EXPECT_NE(out.find("SysUpd:  Base Upgrade Abandoned"), std::string::npos) << out;
    EXPECT_EQ(out.find("SysUpd:  Base Upgrade Completed."), std::string::npos) << out;
    EXPECT_EQ(server.RequestCount("/upgrade"), 1);
    EXPECT_FALSE(FileExists(marker));
}

}  // namespace
