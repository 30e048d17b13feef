// The program refuses to run from folders another user could change: a
// store planted or replaced there would run its jobs as us (as root, for a
// system service), a module planted there would run inside the scheduler.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "Process.h"
#include "TestEnv.h"
#include "store/AppPaths.h"
#include "store/AppStore.h"

using namespace zk40;
using namespace zk40test;

namespace {
const std::vector<std::pair<std::string, std::string>> kNoDelay = {{"ZK40_NO_START_DELAY", "1"}};
constexpr uid_t kNobody = 65534;
}  // namespace

TEST(PrivateFolders, ProgramRefusesFoldersAndStoresOthersCanChange) {
    struct Case {
        const char* name;
        // Prepares the fault in a fresh home (the data folder exists, the
        // store does not yet); false when it cannot be set up here.
        std::function<bool(const std::string& dataDir, const std::string& stateDir)> plant;
        const char* refusal;
    };
    const Case cases[] = {
        {"data folder open to all",
         [](const std::string& data, const std::string&) { return chmod(data.c_str(), 0777) == 0; },
         "refusing the data folder"},
        {"state folder others can write to",
         [](const std::string&, const std::string& state) {
             return chmod(state.c_str(), 0703) == 0;
         },
         "refusing the state folder"},
        {"store planted by another user",
         [](const std::string& data, const std::string&) {
             if (geteuid() != 0) return false;
             std::string store = data + "/store.db";
             TAppStore planted(TStore::Open(store));
             return chown(store.c_str(), kNobody, kNobody) == 0;
         },
         "refusing the store"},
        {"module folder open to all",
         [](const std::string& data, const std::string&) {
             // ActionPath names a shared folder, where anyone can put a
             // module with a valid trailer.
             std::string shared = data + "/../shared-actions/";
             if (mkdir(shared.c_str(), 0777) != 0 || chmod(shared.c_str(), 0777) != 0) return false;
             TAppStore app(TStore::Open(data + "/store.db"));
             app.base.SetString("ActionPath", shared);
             return true;
         },
         "refusing the module folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ScopedXdg xdg(dir);
        std::string data = xdg.dataHome() + "/zarkell40", state = xdg.stateHome() + "/zarkell40";
        ASSERT_TRUE(MakeDirs(data) && MakeDirs(state));
        if (!c.plant(data, state)) {
            ASSERT_NE(geteuid(), 0u) << "could not set up the case";
            continue;  // needs root to give a file away
        }
        std::string out;
        EXPECT_EQ(RunProcess({ZK40_BIN}, &out, 30000, kNoDelay), 1) << out;
        EXPECT_NE(out.find("cannot start: "), std::string::npos) << out;
        EXPECT_NE(out.find(c.refusal), std::string::npos) << out;
        // Refused before anything ran: no crash marker, no instance socket.
        EXPECT_FALSE(FileExists(xdg.runtimeDir() + "/DX14-ZK40-Instance"));
        if (FileExists(xdg.storePath())) {
            EXPECT_EQ(TAppStore(TStore::Open(xdg.storePath())).crash.GetDword("Flags"), 0u);
        }
    }
}

TEST(PrivateFolders, ProgramStartsFromItsOwnPrivateFolders) {
    TempDir dir;
    ScopedXdg xdg(dir);
    ChildProcess p({ZK40_BIN}, dir / "out.txt", kNoDelay);
    ASSERT_TRUE(
        WaitFor([&] { return FileExists(xdg.runtimeDir() + "/DX14-ZK40-Instance"); }, 30000))
        << p.Output();
    struct stat st {};
    ASSERT_EQ(stat((xdg.dataHome() + "/zarkell40").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(30000), 0) << p.Output();
}
