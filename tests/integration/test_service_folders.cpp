// The service and the folders it shares with its clients: the system
// unit's folders, which "zk40 --system" reaches, and the runtime folder in
// which every client looks for the instance's socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "Catalogue.h"
#include "Process.h"
#include "TestEnv.h"
#include "store/AppPaths.h"
#include "store/AppStore.h"

using namespace zk40;
using namespace zk40test;

namespace {

using EnvList = std::vector<std::pair<std::string, std::string>>;
constexpr uid_t kNobody = 65534;
constexpr char kSocket[] = "/DX14-ZK40-Instance";

struct ServiceFolderFixture : ::testing::Test {
    TempDir dir;
    ScopedXdg xdg{dir};  // this user's own folders
    const std::string root = dir / "system";
    AppPaths sys;
    int outputs = 0;

    // Every process of the test, and AppPaths here, take the system unit's
    // folders below `root`.
    void SetUp() override {
        setenv("ZK40_SYSTEM_ROOT", root.c_str(), 1);
        sys = AppPaths::SystemService();
    }
    void TearDown() override { unsetenv("ZK40_SYSTEM_ROOT"); }

    ChildProcess Start(std::vector<std::string> argv, EnvList env = {}) {
        env.emplace_back("ZK40_NO_START_DELAY", "1");
        return ChildProcess(argv, dir / ("out" + std::to_string(outputs++) + ".txt"), env);
    }
    // zarkell40 /service as the system unit starts it; up once it answers.
    ChildProcess StartSystemService() {
        ChildProcess p = Start({ZK40_BIN, "/service"}, {{"ZK40_SYSTEMD_SCOPE", "system"}});
        EXPECT_TRUE(WaitFor(
            [&] { return p.Output().find("Initialization:  Completed,") != std::string::npos; },
            30000))
            << p.Output();
        return p;
    }
    void Stop(ChildProcess& p) {
        p.Signal(SIGTERM);
        EXPECT_EQ(p.Wait(30000), 0) << p.Output();
    }
    int Zk40(std::vector<std::string> args, std::string* out) {
        args.insert(args.begin(), ZK40_CLI_BIN);
        return RunProcess(args, out, 60000);
    }
};

// zk40 --system works with the system service's store and instance, and
// so does a job the service runs: the program hands its folders on.
TEST_F(ServiceFolderFixture, Zk40SystemReachesTheServiceAndItsJobsDo) {
    std::string out;
    EXPECT_EQ(Zk40({"--system", "list"}, &out), 1) << out;
    EXPECT_NE(out.find(sys.dataDir + " does not exist"), std::string::npos) << out;

    // What the service's first start would make, with the Run Program
    // module installed.
    sys.MakeFolders();
    {
        TAppStore app(sys);
        InstallModule(TRegKey(app.product, "actions"), sys.actionsDir, ZK40_RUNPROGRAM_PATH,
                      "ZKA00010.dll", "DNTRX-14", "RUNPROG", {"RUNPROGRAM"});
    }
    const std::string script = dir / "list.sh", seen = dir / "seen.txt";
    WriteFile(script, std::string("exec '") + ZK40_CLI_BIN + "' list > '" + seen + "' 2>&1\n");
    ChildProcess service = StartSystemService();
    EXPECT_TRUE(FileExists(sys.runtimeDir + kSocket));
    EXPECT_TRUE(FileExists(sys.stateDir));

    ASSERT_EQ(
        Zk40({"--system", "add", "Lister", "--kind", "manually", "--", "/bin/sh", script}, &out), 0)
        << out;
    ASSERT_EQ(Zk40({"--system", "run", "Lister", "--wait", "--timeout", "60"}, &out), 0) << out;
    EXPECT_NE(out.find("Completed"), std::string::npos) << out;
    // The job's own zk40 found the service's jobs without being told.
    EXPECT_NE(ReadFile(seen).find("Lister "), std::string::npos) << ReadFile(seen);
    EXPECT_FALSE(FileExists(xdg.storePath()));
    Stop(service);
}

// zk40 without --system works with the caller's own store; where none of
// the caller's instances runs but the system service does, it says so and
// gives the command that reaches the service, with sudo for a caller who
// cannot.
TEST_F(ServiceFolderFixture, Zk40WithoutSystemPointsToTheRunningSystemService) {
    ChildProcess service = StartSystemService();
    std::string out;
    ASSERT_EQ(Zk40({"add", "Mine", "--kind", "manually", "--", "/bin/true"}, &out), 0) << out;
    EXPECT_NE(out.find("zk40: note: Zarkell'40 is not running for you, but its system service "
                       "is; it keeps jobs of its own, not those in " +
                       xdg.storePath() + ": use \"zk40 --system add Mine --kind manually -- " +
                       "/bin/true\" for them\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(Zk40({"run", "Mine"}, &out), 1) << out;
    EXPECT_EQ(out,
              "zk40: Zarkell'40 is not running for you, but its system service is; it keeps "
              "jobs of its own: use \"zk40 --system run Mine\" for them\n");

    if (geteuid() == 0) {
        // Another user cannot look into the service's runtime folder, nor
        // change its store.
        const std::string other = dir / "other";
        ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
        ASSERT_EQ(chown(other.c_str(), kNobody, kNobody), 0);
        // Open to all down to the service's folders, as /run and /var/lib are.
        for (const std::string& d :
             {dir.path(), root, root + "/run", root + "/var", root + "/var/lib", root + "/var/log"})
            ASSERT_EQ(chmod(d.c_str(), 0755), 0) << d;
        const std::vector<std::string> asNobody = {"/usr/bin/setpriv",
                                                   "--reuid=65534",
                                                   "--regid=65534",
                                                   "--clear-groups",
                                                   "/usr/bin/env",
                                                   "HOME=" + other,
                                                   "XDG_DATA_HOME=" + other,
                                                   "XDG_STATE_HOME=" + other,
                                                   "XDG_RUNTIME_DIR=" + other,
                                                   ZK40_CLI_BIN};
        auto nobody = [&](std::vector<std::string> args) {
            args.insert(args.begin(), asNobody.begin(), asNobody.end());
            return RunProcess(args, &out, 60000);
        };
        EXPECT_EQ(nobody({"list"}), 0) << out;
        EXPECT_NE(out.find("use \"sudo zk40 --system list\" for them"), std::string::npos) << out;
        EXPECT_EQ(nobody({"--system", "list"}), 1) << out;
        EXPECT_NE(out.find("the system service runs as root, whose store " + sys.dataDir +
                           " is not yours to change: run zk40 --system as root (sudo zk40 "
                           "--system list)"),
                  std::string::npos)
            << out;
    }
    Stop(service);
    // With the service stopped, nothing points there any more.
    EXPECT_EQ(Zk40({"run", "Mine"}, &out), 1) << out;
    EXPECT_EQ(out.find("--system"), std::string::npos) << out;
}

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

// The units leave the service a runtime folder that its clients share: the
// user unit's read-only system and private /tmp must not take $XDG_RUNTIME_DIR
// away, and the system unit makes for the service the very folders that
// AppPaths::SystemService names (%S, %L and %t are /var/lib, /var/log and
// /run for a system unit).
TEST_F(ServiceFolderFixture, UnitsGiveTheServiceTheFoldersItsClientsUse) {
    unsetenv("ZK40_SYSTEM_ROOT");
    const AppPaths unitPaths = AppPaths::SystemService();

    auto user = UnitSettings(dir / "user", "user");
    ASSERT_EQ(user["ProtectSystem"], "strict");
    ASSERT_EQ(user["PrivateTmp"], "yes");
    std::istringstream writable(user["ReadWritePaths"]);
    std::vector<std::string> paths;
    for (std::string p; writable >> p;) paths.push_back(p);
    EXPECT_NE(std::find(paths.begin(), paths.end(), "%t"), paths.end()) << user["ReadWritePaths"];

    auto system = UnitSettings(dir / "system-unit", "system");
    EXPECT_EQ("/var/lib/" + system["StateDirectory"], unitPaths.dataDir);
    EXPECT_EQ("/var/log/" + system["LogsDirectory"], unitPaths.stateDir);
    EXPECT_EQ("/run/" + system["RuntimeDirectory"], unitPaths.runtimeDir);
    EXPECT_EQ(system["Environment"], "ZK40_SYSTEMD_SCOPE=system");
}

// A service listens where its clients look or not at all; a start that
// falls back to its private folder says where it listens.
TEST_F(ServiceFolderFixture, RuntimeFolderThatCannotBeUsedStopsAServiceAndIsNamedOtherwise) {
    const std::string gone = dir / "ended-session";
    const std::string fallback = dir / ("tmp/zarkell40-" + std::to_string(getuid()));
    ASSERT_TRUE(MakeDirs(root + "/run"));
    WriteFile(sys.runtimeDir, "");  // a file where the folder should be
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
        {"the system service, whose runtime folder is a file",
         {ZK40_BIN, "/service"},
         {{"ZK40_SYSTEMD_SCOPE", "system"}},
         1,
         "Zarkell'40: cannot start: the runtime folder " + sys.runtimeDir +
             " is not a folder; the instance socket must be there, where zk40 --system looks for "
             "it (the unit makes the folder with RuntimeDirectory=zarkell40)\n"},
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
