// Whole update runs of the client core against a real HTTP server on
// 127.0.0.1: configuration with an include, a module archive that replaces
// a loaded module while a job runs in it, and action data.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <filesystem>

#include "Catalogue.h"
#include "ClientFixture.h"
#include "Process.h"
#include "update/ConfigParser.h"

using namespace zk40;
using namespace zk40test;

namespace {

using UpdateRunFixture = UpdateClientFixture;

TEST_F(UpdateRunFixture, FullRunInstallsModuleWaitsForJobAndParsesData) {
    InstallTestModule();
    MakeTestJob(app->jobs, actions, "Long", {{.mode = 2, .sleepMs = 1500}}, 9, CurrentStoreTime());
    std::string base = ServerUrl();
    server.Serve(kConfigPath, ZipBytes({{"zk40.cfg",
                                    "# configuration\n"
                                    "AVAILVER: 29\n"
                                    "NEXT-UPDATE: 01/01/2030 12:00\n"
                                    "VENDORID: ZKTEST\n"
                                    "VENDOR: Test Vendor\n"
                                    "INCLUDE: " +
                                        base + "/testmod.cfg\n"}}));
    server.Serve("/testmod.cfg", "MODULEID: TESTMOD\r\nAVAILVER: 2\r\nURL: " + base +
                                     "/testmod.zkz\r\nACTIONID: TESTACT\r\nDESC: Test action\r\n"
                                     "ACTDATAVER: 3\r\nACTDATAURL: " +
                                     base + "/testact.dat\r\n");
    server.Serve("/testmod.zkz", ZipBytes({{"ACTION.DLL", ReadFile(ZK40_TESTMODULE_V2_PATH)}}));
    server.Serve("/testact.dat", "VERSION: 3\nColour: blue\nSUBKEY: Sizes\nSmall: 1\n");

    StartClient();
    ASSERT_EQ(client->Modules().FindModule("ZKTEST", "TESTMOD")->Version(), 1u);
    app->base.SetDword("NextUpdate", CurrentStoreTime());
    // The job starts at the first scheduling pass; the update comes with it.
    ASSERT_TRUE(TickUntil([&] {
        return !client->UpdateRunning() && view.Saw("SysUpd:  Action Loaded.") &&
               !client->AnyJobRunning();
    })) << view.statuses.back();

    EXPECT_EQ(server.RequestCount(kConfigPath), 1);
    TRegKey mk(actions, "ZKTEST\\TESTMOD");
    EXPECT_EQ(TRegKey(actions, "ZKTEST").GetString("VENDOR"), "Test Vendor");
    EXPECT_EQ(mk.GetString("AVAILVER"), "2");
    EXPECT_EQ(mk.GetDword("VERSION"), 2u);
    EXPECT_EQ(mk.GetString("TEMPFILE"), "");
    EXPECT_EQ(client->Modules().FindModule("ZKTEST", "TESTMOD")->Version(), 2u);
    // The job that ran in the old module ended normally first.
    EXPECT_EQ(client->FindJobByName("Long")->ActionAt(0)->LastStat.Get(), 0u);
    TRegKey ak(mk, "TESTACT");
    EXPECT_EQ(ak.GetString("ADVERSION"), "3");
    EXPECT_EQ(TRegKey(ak, "ACTDATA").GetString("Colour"), "blue");
    EXPECT_EQ(TRegKey(ak, "ACTDATA\\Sizes").GetString("Small"), "1");
    StoreTime expected = NextUpdateFrom("01/01/2030 12:00", CurrentStoreTime());
    EXPECT_EQ(app->base.GetDword("NextUpdate"), expected);
    EXPECT_TRUE(view.Saw("SysUpd:  Completed.  Next Update = " + FormatStoreTime(expected)));
    for (const char* text :
         {"[SYSTEM UPDATE] System Configuration File", "[SYSTEM UPDATE] ZKTEST",
          "[ACTION] Test Vendor:Test action", "[ACTION-DATA] Test Vendor:Test action"})
        EXPECT_NE(std::find(view.branch.begin(), view.branch.end(), text), view.branch.end())
            << text;
}

TEST_F(UpdateRunFixture, FailedConfigurationRetriesInAnHourAndOffLineDelays) {
    server.ServeStatus(kConfigPath, 404, "Not Found");
    StartClient();
    StoreTime now = CurrentStoreTime();
    app->base.SetDword("NextUpdate", now);
    ASSERT_TRUE(TickUntil([&] { return view.Saw("SysUpd:  Aborted.  Next Update = "); }));
    ASSERT_TRUE(TickUntil([&] { return !client->UpdateRunning(); }));
    StoreTime next = app->base.GetDword("NextUpdate");
    EXPECT_EQ(next % 60, 0u);
    EXPECT_GE(next, now + 3600 - 60);
    EXPECT_LE(next, CurrentStoreTime() + 3600);

    // Dial-up with no connection up: a due update waits 30 s at a time.
    app->base.SetDword("ConnType", 1);
    app->base.SetDword("NextUpdate", CurrentStoreTime());
    ASSERT_TRUE(
        TickUntil([&] { return view.Saw("SysUpd:  Connection Not Available, Delaying..."); }));
    EXPECT_GE(app->base.GetDword("NextUpdate"), CurrentStoreTime() + 29);
    EXPECT_EQ(server.RequestCount(kConfigPath), 1);
}

TEST_F(UpdateRunFixture, NoConnectionStillSendsPendingAndLocalUpdates) {
    app->base.SetDword("ConnType", 0);
    std::string local = dir / "local.cfg";
    WriteFile(local, "VENDORID: LOCALV\nVENDOR: From a local file\n");
    StartClient();
    app->base.SetString("LocalUpdate", "file://" + local);
    client->Updates().QueueRequest(TQueueURL::MakeCrashReport(ServerUrl() + "/crash?x=1"));
    ASSERT_TRUE(TickUntil([&] {
        return !client->UpdateRunning() && server.RequestCount("/crash?x=1") == 1 &&
               TRegKey(actions, "LOCALV").GetString("VENDOR") == "From a local file";
    }));
    EXPECT_EQ(app->base.GetString("LocalUpdate"), "");
    EXPECT_EQ(server.RequestCount(kConfigPath), 0);
}

TEST_F(UpdateRunFixture, NewerBuildIsDownloadedAndStartedOncePerHour) {
    std::string marker = dir / "upgrade-ran";
    std::string base = ServerUrl();
    server.Serve(kConfigPath, ZipBytes({{"zk40.cfg", "AVAILVER: 30\nURL: " + base + "/upgrade\n"}}));
    server.Serve("/upgrade", "#!/bin/sh\necho started > '" + marker + "'\n");
    StartClient();
    app->base.SetDword("NextUpdate", CurrentStoreTime());
    ASSERT_TRUE(TickUntil([&] { return !client->UpdateRunning() && FileExists(marker); }))
        << view.statuses.back();
    EXPECT_TRUE(view.Saw("SysUpd:  Base Upgrade Completed."));
    TRegKey config(app->product, "config");
    std::string program = config.GetString("TEMPFILE");
    EXPECT_EQ(program.substr(program.size() - 3), "EXE");
    EXPECT_EQ(app->base.GetDword("LastBaseUpdateVer"), 30u);

    // The next configuration run within the hour queues no second upgrade.
    app->base.SetDword("NextUpdate", CurrentStoreTime());
    client->SetUpdating(false);
    ASSERT_TRUE(TickUntil(
        [&] { return server.RequestCount(kConfigPath) == 2 && !client->UpdateRunning(); }));
    EXPECT_EQ(server.RequestCount("/upgrade"), 1);
}

TEST_F(UpdateRunFixture, UpgradeThatCannotStartLeavesTheSchedulerRunning) {
    std::string base = ServerUrl();
    server.Serve(kConfigPath, ZipBytes({{"zk40.cfg", "AVAILVER: 30\nURL: " + base + "/upgrade\n"}}));
    server.Serve("/upgrade", std::string("\x7f"
                                         "ELF but not really a program",
                                         30));
    StartClient();
    app->base.SetDword("NextUpdate", CurrentStoreTime());
    ASSERT_TRUE(TickUntil([&] { return view.Saw("SysUpd:  Error Installing Update..."); }));
    EXPECT_FALSE(client->Updating());
    EXPECT_TRUE(view.Saw("System Initialization:  "));
    EXPECT_FALSE(view.Saw("SysUpd:  Base Upgrade Completed."));
}

TEST_F(UpdateRunFixture, ArchiveWithDamagedModuleKeepsTheOldOneServing) {
    InstallTestModule();
    std::string bad = ReadFile(ZK40_TESTMODULE_V2_PATH);
    bad[bad.size() - 5] ^= 0x55;  // the checksum in the trailer
    std::string base = ServerUrl();
    server.Serve(kConfigPath,
                 ZipBytes({{"zk40.cfg", "VENDORID: ZKTEST\nMODULEID: TESTMOD\nAVAILVER: 2\nURL: " +
                                       base + "/testmod.zkz\n"}}));
    server.Serve("/testmod.zkz", ZipBytes({{"ACTION.DLL", bad}}));
    StartClient();
    app->base.SetDword("NextUpdate", CurrentStoreTime());
    ASSERT_TRUE(TickUntil(
        [&] { return !client->UpdateRunning() && view.Saw("SysUpd:  Error Loading Action..."); }));
    TRegKey mk(actions, "ZKTEST\\TESTMOD");
    EXPECT_EQ(mk.GetDword("VERSION"), 1u);
    // The download stays for the next attempt; the installed module still works.
    std::string temp = mk.GetString("TEMPFILE");
    EXPECT_TRUE(!temp.empty() && FileExists(temp));
    auto module = client->Modules().FindModule("ZKTEST", "TESTMOD");
    ASSERT_TRUE(module);
    EXPECT_TRUE(module->Load());
    EXPECT_EQ(module->Version(), 1u);
    EXPECT_FALSE(view.Saw("SysUpd:  Next Update = "))
        << "a failed install decides the closing text";
}

TEST_F(UpdateRunFixture, ForceUpdateFetchesAtTheNextPassAndAllowsAnUpgradeAgain) {
    server.Serve(kConfigPath, ZipBytes({{"zk40.cfg", "NEXT-UPDATE: 01/01/2030 12:00\n"}}));
    app->base.SetDword("LastBaseUpdate", CurrentStoreTime());
    app->base.SetDword("LastBaseUpdateVer", 30);
    StartClient();
    // A fresh installation would wait a minute; a forced update does not.
    client->Updates().ForceUpdate();
    EXPECT_EQ(app->base.GetDword("LastBaseUpdate"), 1u);
    EXPECT_EQ(app->base.GetDword("LastBaseUpdateVer"), 0u);
    EXPECT_TRUE(view.Saw("SysUpd:  Next Update = "));
    ASSERT_TRUE(TickUntil(
        [&] { return server.RequestCount(kConfigPath) == 1 && !client->UpdateRunning(); }));
    EXPECT_EQ(app->base.GetDword("NextUpdate"),
              NextUpdateFrom("01/01/2030 12:00", CurrentStoreTime()));
}

}  // namespace
