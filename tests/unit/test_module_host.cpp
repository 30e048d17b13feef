// The module host against real shared objects: modules built with the SDK's
// CMake function really leave memory when unloaded, a replacement either
// runs the new code or says that a restart is needed, and a module file is
// only accepted under the vendor and module ids it gives itself.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "Catalogue.h"
#include "Process.h"
#include "TestEnv.h"
#include "base/Client.h"
#include "jobs/ClientView.h"
#include "jobs/Snapshot.h"
#include "modules/HostServices.h"
#include "modules/ModuleFile.h"
#include "store/AppStore.h"

using namespace zk40;
using namespace zk40test;

namespace {

TEST(ModuleBuild, SdkBuiltModulesLeaveMemoryWhenClosed) {
    // The test module is plain C++ (std::string, std::map, std::to_string)
    // built with nothing but zk40_add_module; GCC would give it unique
    // symbols that glibc never unloads unless the function prevents them.
    struct Case {
        const char* path;
        bool staysResident;
    } cases[] = {{ZK40_TESTMODULE_PATH, false},
                 {ZK40_RUNPROGRAM_PATH, false},
                 {ZK40_TESTMODULE_STICKY_PATH, true}};
    TempDir dir;
    int n = 0;
    for (const Case& c : cases) {
        // A path of its own, so no other load in this process holds it.
        std::string copy = dir / ("m" + std::to_string(n++) + ".so");
        std::filesystem::copy_file(c.path, copy);
        void* h = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_TRUE(h) << dlerror();
        EXPECT_TRUE(dlsym(h, "ZKStart")) << c.path;
        // Only the entry points are exported.
        EXPECT_FALSE(dlsym(h, "_ZNSt7__cxx119to_stringEi")) << c.path;
        dlclose(h);
        void* still = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
        EXPECT_EQ(still != nullptr, c.staysResident) << c.path;
        if (still) dlclose(still);
    }
}

class LogView : public IClientView {
public:
    void ShowStatus(const std::string& text) override { statuses.push_back(text); }
    void StartupError(const std::string& text) override { statuses.push_back(text); }
    void ActionChanged(uint32_t handle, ActionField field) override {
        ActionSnapshot a;
        if (field == ActionField::Status && SnapshotAction(handle, &a))
            actionTexts.push_back(a.status);
        if (field == ActionField::Status2 && SnapshotAction(handle, &a))
            actionTexts.push_back(a.status2);
    }
    bool Saw(const std::string& text) const {
        for (const auto& s : statuses)
            if (s.find(text) != std::string::npos) return true;
        return false;
    }
    std::vector<std::string> statuses, actionTexts;
};

struct ModuleHostFixture : ::testing::Test {
    TempDir dir;
    ScopedXdg xdg{dir};
    AppPaths paths = AppPaths::FromEnvironment();
    std::unique_ptr<TAppStore> app;
    LogView view;
    std::unique_ptr<TZarkellClient> client;
    TRegKey actions;

    void SetUp() override {
        EnsureQtApp();
        paths.MakeFolders();
        app = std::make_unique<TAppStore>(paths);
        app->base.SetDword("ShippedModules", 1);
        actions = TRegKey(app->product, "actions");
    }
    void TearDown() override {
        if (client) client->CloseWindow();
        client.reset();
    }
    void Start() {
        client =
            std::make_unique<TZarkellClient>(*app, paths, SystemClock::Instance(), view, nullptr);
        client->SetTickAlignment(false);
        client->SetupWindow();
        client->EvTimer();  // the first tick loads the modules
    }
    // What the update worker asks of the main thread for a downloaded file.
    intptr_t InstallDownload(const std::string& moduleFile) {
        std::string temp = dir / "download.tmp";
        std::filesystem::copy_file(moduleFile, temp,
                                   std::filesystem::copy_options::overwrite_existing);
        TRegKey(actions, "ZKTEST\\TESTMOD").SetString("TEMPFILE", temp);
        TInstallRequest rq{temp, "ZKTEST", "TESTMOD", "TESTACT"};
        return client->Pump().Send(ZKM_INSTALL, 0, reinterpret_cast<intptr_t>(&rq));
    }
    // Runs a one-action job of the test module now; its LastStat.
    uint32_t RunJob(const std::string& name) {
        TJob* job = client->FindJobByName(name);
        client->RunNow(job->Id());
        for (int i = 0; i < 5; ++i) client->EvTimer();
        EXPECT_TRUE(client->Pump().WaitServing([&] { return !client->AnyJobRunning(); }, 20000));
        client->Pump().Drain();
        return job->ActionAt(0)->LastStat.Get();
    }
};

TEST_F(ModuleHostFixture, ReplacementRunsTheNewCodeOrSaysARestartIsNeeded) {
    struct Case {
        const char* installed;
        intptr_t expectedResult;  // of the install request
        uint32_t runningVersion;
    } cases[] = {
        {ZK40_TESTMODULE_PATH, 1, 2},
        // Cannot leave memory: the new file is put in place for the next
        // start, and VERSION names the code that actually runs.
        {ZK40_TESTMODULE_STICKY_PATH, 2, 1},
    };
    MakeTestJob(app->jobs, actions, "Job", {{.mode = 0}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.installed);
        TearDown();
        view.statuses.clear();
        // A file name of its own per case: the sticky library stays mapped
        // under its path for the rest of this process.
        std::string fileName = c.expectedResult == 2 ? "ZKA0000A.dll" : "ZKA0000B.dll";
        InstallModule(actions, paths.actionsDir, c.installed, fileName, "ZKTEST", "TESTMOD",
                      {"TESTACT"});
        Start();
        ASSERT_EQ(client->Modules().FindModule("ZKTEST", "TESTMOD")->Version(), 1u);

        EXPECT_EQ(InstallDownload(ZK40_TESTMODULE_V2_PATH), c.expectedResult);
        TRegKey mk(actions, "ZKTEST\\TESTMOD");
        EXPECT_EQ(mk.GetDword("VERSION"), c.runningVersion);
        EXPECT_EQ(client->Modules().FindModule("ZKTEST", "TESTMOD")->Version(), c.runningVersion);
        EXPECT_EQ(CheckModuleFile(paths.actionsDir + fileName), ModuleFileCheck::Passes);
        EXPECT_EQ(ReadFile(paths.actionsDir + fileName), ReadFile(ZK40_TESTMODULE_V2_PATH));
        EXPECT_EQ(view.Saw("keeps running until Zarkell'40 is restarted"),
                  c.expectedResult == 2);
        // Whichever code runs, it serves the jobs.
        EXPECT_EQ(RunJob("Job"), 0u);
        EXPECT_FALSE(client->Updating());
    }
}

TEST_F(ModuleHostFixture, ModuleIsAcceptedOnlyUnderTheIdsItGivesItself) {
    // Installed under our key, but the file says it is another vendor's.
    InstallModule(actions, paths.actionsDir, ZK40_TESTMODULE_FOREIGN_PATH, "ZKA00001.dll",
                  "ZKTEST", "TESTMOD", {"TESTACT"});
    MakeTestJob(app->jobs, actions, "Job", {{.mode = 0}});
    Start();
    EXPECT_FALSE(client->Modules().FindModule("ZKTEST", "TESTMOD"));
    EXPECT_EQ(TRegKey(actions, "ZKTEST\\TESTMOD\\TESTACT").GetDword("LOADED"), 0u);
    EXPECT_TRUE(view.Saw("is the module \"OTHERVND:TESTMOD\", not \"ZKTEST:TESTMOD\""));
    EXPECT_EQ(RunJob("Job"), 1u);
    // The run says why the module is missing.
    bool said = false;
    for (const auto& t : view.actionTexts)
        said |= t.find("is not loaded: the file ") != std::string::npos &&
                t.find("OTHERVND:TESTMOD") != std::string::npos;
    EXPECT_TRUE(said);

    // A downloaded replacement that names itself another vendor's module is
    // not kept serving under our key either.
    client->CloseWindow();
    client.reset();
    InstallModule(actions, paths.actionsDir, ZK40_TESTMODULE_PATH, "ZKA00001.dll", "ZKTEST",
                  "TESTMOD", {"TESTACT"});
    Start();
    ASSERT_TRUE(client->Modules().FindModule("ZKTEST", "TESTMOD"));
    EXPECT_EQ(InstallDownload(ZK40_TESTMODULE_FOREIGN_PATH), 0);
    EXPECT_FALSE(client->Modules().FindModule("ZKTEST", "TESTMOD"));
    EXPECT_EQ(RunJob("Job"), 1u);
}

TEST_F(ModuleHostFixture, FileNamesOutsideTheActionFolderAreRefused) {
    // A FILENAME that climbs out of the action folder, with a valid module
    // waiting where it points.
    std::filesystem::copy_file(ZK40_TESTMODULE_PATH, xdg.dataHome() + "/outside.dll");
    ASSERT_TRUE(FileExists(paths.actionsDir + "../../outside.dll"));
    TRegKey mk(actions, "ZKTEST\\TESTMOD");
    mk.SetString("FILENAME", "../../outside.dll");
    TRegKey(mk, "TESTACT").SetDword("LOADED", 1);
    Start();
    EXPECT_FALSE(client->Modules().FindModule("ZKTEST", "TESTMOD"));
    EXPECT_EQ(TRegKey(mk, "TESTACT").GetDword("LOADED"), 0u);
    EXPECT_TRUE(view.Saw("is not a plain file name"));
}

}  // namespace
