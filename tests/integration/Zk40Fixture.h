#pragma once
// zk40 as a user runs it: the real binary on a real store in a scratch
// folder, and the real program started beside it when a test wants one.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Catalogue.h"
#include "Process.h"
#include "TestEnv.h"
#include "jobs/Job.h"
#include "store/AppStore.h"
#include "store/RunHistory.h"

namespace zk40test {

using namespace zk40;

struct Zk40Fixture : ::testing::Test {
    TempDir dir;
    ScopedXdg xdg{dir};
    AppPaths paths = AppPaths::FromEnvironment();
    std::unique_ptr<TAppStore> app;
    int outputs = 0;

    void SetUp() override {
        paths.MakeFolders();
        app = std::make_unique<TAppStore>(paths);
    }

    int Zk40(const std::vector<std::string>& args, std::string* out) {
        std::vector<std::string> argv{ZK40_CLI_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, out, 60000);
    }

    // The stored keys of the jobs named `name` (read fresh from the store).
    std::vector<std::string> KeysNamed(const std::string& name) {
        std::vector<std::string> keys, out;
        app->Store()->ListSubKeys(app->jobs.Id(), &keys);
        for (const std::string& k : keys)
            if (TRegKey(app->jobs, k, false).GetString("Name") == name) out.push_back(k);
        return out;
    }
    TRegKey Job(const std::string& name) {
        std::vector<std::string> keys = KeysNamed(name);
        EXPECT_EQ(keys.size(), 1u) << name;
        return keys.empty() ? TRegKey() : TRegKey(app->jobs, keys[0], false);
    }
    uint32_t JobCount() { return app->jobs.CurrentSubKeyCount(); }

    // FILE zipped as ACTION.DLL, the way module archives come.
    std::string ModuleArchive(const std::string& moduleFile, const std::string& name) {
        std::string out;
        EXPECT_EQ(RunProcess({"/bin/sh", "-c",
                              "mkdir -p \"$1.d\" && cp \"$0\" \"$1.d/ACTION.DLL\" && "
                              "cd \"$1.d\" && zip -q ../\"$2\" ACTION.DLL",
                              moduleFile, dir / name, name},
                             &out),
                  0)
            << out;
        return dir / name;
    }
    // The test module's action type in the catalogue, as an update would
    // describe it (no FILENAME: it is not installed).
    TRegKey TestTypeInCatalogue(const std::string& url = "") {
        TRegKey vk(app->product, "actions\\ZKTEST");
        vk.SetString("VENDOR", "Test Vendor");
        TRegKey mk(vk, "TESTMOD");
        mk.SetString("NAME", "Test Module");
        mk.SetString("AVAILVER", "1");
        if (!url.empty()) mk.SetString("URL", url);
        TRegKey(mk, "TESTACT").SetString("DESC", "Test Action");
        return mk;
    }
    uint32_t Loaded() {
        return TRegKey(app->product, "actions\\ZKTEST\\TESTMOD\\TESTACT", false).GetDword("LOADED");
    }
    size_t Count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
        return n;
    }

    // The first start loads the modules that come with the program; a later
    // one is ready once its start-up work is done.
    ChildProcess StartInstance(const std::string& ready = "SysUpd:  Action Loaded.",
                               const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv{ZK40_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess p(argv, dir / ("instance" + std::to_string(outputs++) + ".txt"),
                       {{"ZK40_NO_START_DELAY", "1"}, {"ZK40_HEADLESS", "1"}});
        EXPECT_TRUE(WaitFor([&] { return p.Output().find(ready) != std::string::npos; }, 60000))
            << p.Output();
        return p;
    }
};

struct Row {
    std::vector<std::string> args;
    int exit;
    std::string says;  // in standard output or error
    std::function<void(Zk40Fixture&)> after;
};

inline void RunTable(Zk40Fixture& f, const std::vector<Row>& rows) {
    for (const Row& r : rows) {
        std::string out;
        std::string line;
        for (const auto& a : r.args) line += a + " ";
        SCOPED_TRACE("zk40 " + line);
        EXPECT_EQ(f.Zk40(r.args, &out), r.exit) << out;
        EXPECT_NE(out.find(r.says), std::string::npos) << out;
        if (r.after) r.after(f);
    }
}

}  // namespace zk40test
