// The service and the folders it shares with its clients: the runtime
// folder in which every client looks for the instance's socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "Process.h"
#include "TestEnv.h"

using namespace zk40test;

namespace {

using EnvList = std::vector<std::pair<std::string, std::string>>;
constexpr char kSocket[] = "/DX14-ZK40-Instance";

struct ServiceFolderFixture : ::testing::Test {
    TempDir dir;
    ScopedXdg xdg{dir};  // this user's own folders
    int outputs = 0;

    ChildProcess Start(std::vector<std::string> argv, EnvList env = {}) {
        env.emplace_back("ZK40_NO_START_DELAY", "1");
        return ChildProcess(argv, dir / ("out" + std::to_string(outputs++) + ".txt"), env);
    }
    void Stop(ChildProcess& p) {
        p.Signal(SIGTERM);
        EXPECT_EQ(p.Wait(30000), 0) << p.Output();
    }
};

// The [Service] settings of the unit /register writes for `scope`; a key
// given more than once keeps its values joined by blanks.
std::map<std::string, std::string> UnitSettings(const std::string& unitDir, const char* scope) {
    std::string out;
    EXPECT_EQ(RunProcess({ZK40_BIN, "/register"}, &out, 20000,
                         {{"ZK40_SYSTEMD_UNIT_DIR", unitDir}, {"ZK40_SYSTEMD_SCOPE", scope}}),
              0)
        << out;
    std::map<std::string, std::string> settings;
    std::istringstream in(ReadFile(unitDir + "/zarkell40.service"));
    bool service = false;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') service = line == "[Service]";
        size_t eq = line.find('=');
        if (!service || eq == std::string::npos) continue;
        std::string& v = settings[line.substr(0, eq)];
        v += (v.empty() ? "" : " ") + line.substr(eq + 1);
    }
    return settings;
}

// The user unit's read-only system and private /tmp must not take the
// runtime folder ($XDG_RUNTIME_DIR, %t) away from the service: its clients
// look for it there.
TEST_F(ServiceFolderFixture, UserUnitLeavesTheServiceItsRuntimeFolder) {
    auto user = UnitSettings(dir / "user", "user");
    ASSERT_EQ(user["ProtectSystem"], "strict");
    ASSERT_EQ(user["PrivateTmp"], "yes");
    std::istringstream writable(user["ReadWritePaths"]);
    std::vector<std::string> paths;
    for (std::string p; writable >> p;) paths.push_back(p);
    EXPECT_NE(std::find(paths.begin(), paths.end(), "%t"), paths.end()) << user["ReadWritePaths"];
}

// A service listens where its clients look or not at all; a start that
// falls back to its private folder says where it listens.
TEST_F(ServiceFolderFixture, RuntimeFolderThatCannotBeUsedStopsAServiceAndIsNamedOtherwise) {
    const std::string gone = dir / "ended-session";
    const std::string fallback = dir / ("tmp/zarkell40-" + std::to_string(getuid()));
    const std::vector<std::string> noRuntime = {"/usr/bin/env", "-u", "XDG_RUNTIME_DIR", ZK40_BIN};
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        EnvList env;
        int exit;  // -1: it runs
        std::string says;
    };
    const std::vector<Case> cases = {
        {"a service whose runtime folder is gone",
         {ZK40_BIN, "/service"},
         {{"XDG_RUNTIME_DIR", gone}},
         1,
         "Zarkell'40: cannot start: XDG_RUNTIME_DIR " + gone +
             " does not exist; the instance socket must be there, where zk40 and later starts "
             "look for it (a unit with ProtectSystem=strict needs ReadWritePaths=%t)\n"},
        {"a service with no runtime folder named",
         {noRuntime[0], noRuntime[1], noRuntime[2], noRuntime[3], "/service"},
         {},
         -1,
         "Zarkell'40: listening on " + fallback + kSocket + " (XDG_RUNTIME_DIR is not set)\n"},
        {"a start whose runtime folder is gone",
         {ZK40_BIN},
         {{"XDG_RUNTIME_DIR", gone}},
         -1,
         "Zarkell'40: listening on " + fallback + kSocket + " (XDG_RUNTIME_DIR " + gone +
             " does not exist)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChildProcess p = Start(c.argv, c.env);
        if (c.exit >= 0) {
            EXPECT_EQ(p.Wait(30000), c.exit) << p.Output();
            EXPECT_EQ(p.Output(), c.says);
            EXPECT_FALSE(FileExists(fallback + kSocket));
            continue;
        }
        EXPECT_TRUE(WaitFor([&] { return p.Output().find(c.says) != std::string::npos; }, 30000))
            << p.Output();
        // Found where it says, by a client that falls back the same way.
        std::string out;
        std::vector<std::string> client = noRuntime;
        client.push_back("/runjob:Nobody");
        EXPECT_EQ(RunProcess(client, &out, 30000, {{"ZK40_NO_START_DELAY", "1"}}), 1) << out;
        EXPECT_EQ(out, "Zarkell'40: There is no job named \"Nobody\"\n");
        Stop(p);
    }
}

// The user unit's sandbox as it was: the runtime folder read-only and /tmp
// the service's own. The service says why it cannot start rather than
// listen in its private /tmp, where no client would ever look.
TEST_F(ServiceFolderFixture, ServiceInAReadOnlyRuntimeFolderRefusesToStart) {
    std::string out;
    if (RunProcess({"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount -t tmpfs tmpfs /mnt"}, &out,
                   10000) != 0)
        GTEST_SKIP() << "needs a mount namespace of its own (root): " << out;
    const std::string runtime = dir / "user-runtime";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    // The temporary folder (TMPDIR) stands in for /tmp.
    ChildProcess p = Start({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                            "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && "
                            "mount -t tmpfs tmpfs \"$TMPDIR\" && exec \"$1\" /service",
                            runtime, ZK40_BIN},
                           {{"XDG_RUNTIME_DIR", runtime}});
    EXPECT_EQ(p.Wait(30000), 1) << p.Output();
    EXPECT_EQ(p.Output(), "Zarkell'40: cannot start: XDG_RUNTIME_DIR " + runtime +
                              " is not writable (Read-only file system); the instance socket "
                              "must be there, where zk40 and later starts look for it (a unit "
                              "with ProtectSystem=strict needs ReadWritePaths=%t)\n");
}

}  // namespace
