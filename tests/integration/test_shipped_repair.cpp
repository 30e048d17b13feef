// The modules that come with the program are installed even when the first
// start did not get to finish that, and again when their file went missing.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "Process.h"
#include "TestEnv.h"
#include "modules/ModuleFile.h"
#include "store/AppStore.h"

using namespace zk40;
using namespace zk40test;

namespace {

TEST(ShippedRepair, InterruptedOrDamagedFirstInstallIsDoneAgainAndAMissingFileReplaced) {
    TempDir dir;
    ScopedXdg xdg(dir);
    // A copy of what ships beside the program, whose archive we can damage.
    const std::string share = dir / "share";
    const std::string shipped = std::string(ZK40_BUILD_DIR) + "/share/zarkell40";
    std::filesystem::create_directories(share + "/modules");
    std::string cfg = ReadFile(shipped + "/update.cfg");
    for (size_t at; (at = cfg.find(shipped)) != std::string::npos;)
        cfg.replace(at, shipped.size(), share);
    WriteFile(share + "/update.cfg", cfg);
    const std::string archive = share + "/modules/runprog.zkz";
    WriteFile(archive, "not an archive");

    const std::vector<std::pair<std::string, std::string>> env = {
        {"ZK40_NO_START_DELAY", "1"}, {"ZK40_SHARE_DIR", share}};
    int runs = 0;
    auto runUntil = [&](const std::string& text) {
        ChildProcess p({ZK40_BIN}, dir / ("out" + std::to_string(runs++) + ".txt"), env);
        bool seen =
            WaitFor([&] { return p.Output().find(text) != std::string::npos; }, 30000);
        p.Signal(SIGTERM);
        EXPECT_EQ(p.Wait(30000), 0);
        EXPECT_TRUE(seen) << p.Output();
        return p.Output();
    };
    AppPaths paths = AppPaths::FromEnvironment();
    auto state = [&](const char* what) {
        TAppStore app(paths);
        TRegKey module(app.product, "actions\\DNTRX-14\\RUNPROG", false);
        if (std::string(what) == "shipped") return std::to_string(app.base.GetDword("ShippedModules"));
        if (std::string(what) == "loaded")
            return std::to_string(TRegKey(module, "RUNPROGRAM", false).GetDword("LOADED"));
        return paths.actionsDir + module.GetString("FILENAME");
    };

    // The first start cannot install: nothing is marked done.
    runUntil("SysUpd:  Error Reading Directory");
    EXPECT_EQ(state("shipped"), "0");

    // With the archive whole, the next start installs it.
    std::filesystem::copy_file(shipped + "/modules/runprog.zkz", archive,
                               std::filesystem::copy_options::overwrite_existing);
    runUntil("SysUpd:  Action Loaded.");
    EXPECT_EQ(state("shipped"), "1");
    EXPECT_EQ(state("loaded"), "1");
    const std::string file = state("file");
    EXPECT_EQ(CheckModuleFile(file), ModuleFileCheck::Passes) << file;

    // The module file is lost: the next start puts it back.
    std::filesystem::remove(file);
    runUntil("SysUpd:  Action Loaded.");
    EXPECT_EQ(state("loaded"), "1");
    EXPECT_EQ(CheckModuleFile(state("file")), ModuleFileCheck::Passes);
    EXPECT_EQ(state("shipped"), "1");
}

}  // namespace
