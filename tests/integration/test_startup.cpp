#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

#include "Process.h"
#include "TestEnv.h"
#include "store/AppStore.h"
#include "store/Trace.h"

using namespace zk40;
using namespace zk40test;

namespace {

const std::vector<std::pair<std::string, std::string>> kNoDelay = {{"ZK40_NO_START_DELAY", "1"}};

struct ProgramFixture : ::testing::Test {
    TempDir dir;
    ScopedXdg xdg{dir};
    int outputs = 0;

    ChildProcess Start(std::vector<std::string> args = {},
                       std::vector<std::pair<std::string, std::string>> env = kNoDelay) {
        args.insert(args.begin(), ZK40_BIN);
        return ChildProcess(args, dir / ("out" + std::to_string(outputs++) + ".txt"), env);
    }
    std::unique_ptr<TAppStore> OpenStore() {
        return std::make_unique<TAppStore>(TStore::Open(xdg.storePath()));
    }
    // The program is up once its crash marker is set and it answers on its socket.
    bool WaitRunning(ChildProcess& p) {
        return WaitFor(
            [&] {
                if (!p.Running() || !FileExists(xdg.storePath())) return false;
                return OpenStore()->RunningBit() &&
                       FileExists(xdg.runtimeDir() + "/DX14-ZK40-Instance");
            },
            20000);
    }
};

TEST_F(ProgramFixture, FirstStartCreatesTreeAndCleanStopClearsMarker) {
    ChildProcess p = Start();
    ASSERT_TRUE(WaitRunning(p)) << p.Output();
    ASSERT_TRUE(
        WaitFor([&] { return p.Output().find("Local Update Mode.") != std::string::npos; }, 20000));
    {
        auto app = OpenStore();
        EXPECT_EQ(app->base.GetDword("Flags"), 15u);
        // 3 ("not chosen yet") until the window is set up; headless nobody
        // can be asked, so it is then "No Internet Connection".
        EXPECT_EQ(app->base.GetDword("ConnType"), 0u);
        EXPECT_EQ(app->crash.GetDword("Flags"), 1u);
        EXPECT_NE(app->crash.GetDword("StartupTime"), 0u);
        EXPECT_EQ(app->crash.GetDword("ShutdownTime"), 0u);
        EXPECT_TRUE(
            TRegKey(app->Store(), std::string(kProductKeyPath) + "\\jobs", false).IsValid());
    }
    // Store times have whole seconds; let one pass so the order shows.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    p.Signal(SIGTERM);
    ASSERT_EQ(p.Wait(20000), 0) << p.Output();
    auto app = OpenStore();
    EXPECT_EQ(app->crash.GetDword("Flags") & 1u, 0u);
    EXPECT_GT(app->crash.GetDword("ShutdownTime"), app->crash.GetDword("StartupTime"));
}

TEST_F(ProgramFixture, KilledRunLeavesMarkerAndNextStartNoticesCrash) {
    ChildProcess p = Start();
    ASSERT_TRUE(WaitRunning(p)) << p.Output();
    p.Signal(SIGKILL);
    p.Wait(20000);
    {
        auto app = OpenStore();
        EXPECT_EQ(app->crash.GetDword("Flags") & 1u, 1u);
        EXPECT_EQ(app->crash.GetDword("ShutdownTime"), 0u);
    }
    ChildProcess again = Start();
    ASSERT_TRUE(WaitFor(
        [&] { return again.Output().find("did not shut down") != std::string::npos; }, 20000))
        << again.Output();
    again.Signal(SIGINT);
    EXPECT_EQ(again.Wait(20000), 0);
    EXPECT_EQ(OpenStore()->crash.GetDword("Flags") & 1u, 0u);
}

TEST_F(ProgramFixture, SecondInstanceHandsOverItsCommandLine) {
    ChildProcess first = Start();
    ASSERT_TRUE(WaitRunning(first)) << first.Output();
    std::string out;
    // Without skipping the start-up delay: a process that finds an instance
    // running hands over at once. No job has the name, so the instance
    // refuses to run it, but the command line was handed over all the same.
    EXPECT_EQ(RunProcess({ZK40_BIN, "/runjob:Nightly Backup"}, &out, 20000), 1) << out;
    EXPECT_EQ(out, "Zarkell'40: There is no job named \"Nightly Backup\"\n");
    {
        auto app = OpenStore();
        EXPECT_EQ(app->base.GetString("CommandLine"), "/runjob:\"Nightly Backup\"");
        EXPECT_EQ(app->base.GetString("RunJob"), "Nightly Backup");
    }
    EXPECT_TRUE(first.Running());
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(20000), 0);
}

TEST_F(ProgramFixture, TwentySimultaneousStartsLeaveExactlyOneRunning) {
    std::vector<ChildProcess> procs;
    for (int i = 0; i < 20; ++i) procs.push_back(Start());
    // Every process but one hands over and exits.
    ASSERT_TRUE(WaitFor(
        [&] {
            int running = 0;
            for (auto& p : procs) running += p.Running();
            return running == 1;
        },
        60000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int running = 0;
    for (auto& p : procs) running += p.Running();
    EXPECT_EQ(running, 1);
    for (auto& p : procs) {
        if (p.Running()) {
            p.Signal(SIGTERM);
            EXPECT_EQ(p.Wait(20000), 0);
        } else {
            EXPECT_EQ(p.Wait(0), 0);
        }
    }
}

// Everything below `root`, as paths relative to it.
std::vector<std::string> Tree(const std::string& root) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        out.push_back(std::filesystem::relative(e.path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

// /register and /unregister write and remove the unit file and touch
// nothing else: no store and no data, state or runtime folder of whoever
// runs them (as root that store would sit unused in root's home and stay
// after the package is purged).
TEST_F(ProgramFixture, RegisterAndUnregisterWriteOnlyTheUnitFile) {
    const std::string units = dir / "units", fresh = dir / "fresh";
    ASSERT_EQ(mkdir(fresh.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((fresh + "/home").c_str(), 0700), 0);
    for (const char* scope : {"system", "user"}) {
        SCOPED_TRACE(scope);
        // The XDG folders do not exist yet; a fallback runtime folder would
        // be made in TMPDIR.
        const std::vector<std::pair<std::string, std::string>> env = {
            {"ZK40_SYSTEMD_UNIT_DIR", units},    {"ZK40_SYSTEMD_SCOPE", scope},
            {"ZK40_NO_START_DELAY", "1"},        {"HOME", fresh + "/home"},
            {"XDG_DATA_HOME", fresh + "/data"},  {"XDG_STATE_HOME", fresh + "/state"},
            {"XDG_RUNTIME_DIR", fresh + "/run"}, {"TMPDIR", fresh}};
        std::string out;
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(RunProcess({ZK40_BIN, "/register"}, &out, 20000, env), 0) << out;
        std::string unit = ReadFile(units + "/zarkell40.service");
        EXPECT_NE(unit.find("ExecStart=\"" + std::string(ZK40_BIN) + "\" /service"),
                  std::string::npos)
            << unit;
        EXPECT_NE(unit.find("SyslogIdentifier=Zarkell40"), std::string::npos);
        EXPECT_NE(unit.find("Type=notify"), std::string::npos);
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(RunProcess({ZK40_BIN, "/UNREGISTER"}, &out, 20000, env), 0) << out;
        EXPECT_FALSE(FileExists(units + "/zarkell40.service"));
        EXPECT_EQ(Tree(fresh), std::vector<std::string>{"home"});
    }
}

// A notify socket of our own stands in for systemd.
struct NotifySocket {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string path;
    explicit NotifySocket(std::string p) : path(std::move(p)) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        timeval tv{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~NotifySocket() { close(fd); }
    std::string all;
    // Waits for text to arrive at or after offset `from` of what came so far.
    bool WaitFor(const std::string& text, size_t from = 0, int seconds = 20) {
        for (int i = 0; i < seconds; ++i) {
            if (all.find(text, from) != std::string::npos) return true;
            char buf[512];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
                all.append(buf, static_cast<size_t>(n));
                all += '|';
            }
        }
        return all.find(text, from) != std::string::npos;
    }
};

TEST_F(ProgramFixture, ServiceReportsStatusAndPausesContinuesStops) {
    NotifySocket notify(dir / "notify.sock");
    ChildProcess p =
        Start({"/service"}, {{"NOTIFY_SOCKET", notify.path}, {"ZK40_NO_START_DELAY", "1"}});
    ASSERT_TRUE(notify.WaitFor("READY=1")) << notify.all << p.Output();
    ASSERT_TRUE(WaitRunning(p)) << p.Output();
    p.Signal(SIGUSR1);
    ASSERT_TRUE(notify.WaitFor("STATUS=Paused")) << notify.all;
    size_t paused = notify.all.size();
    p.Signal(SIGUSR2);
    ASSERT_TRUE(notify.WaitFor("STATUS=Running", paused)) << notify.all;
    // A stop while paused releases the pause and ends the run cleanly.
    size_t resumed = notify.all.size();
    p.Signal(SIGUSR1);
    ASSERT_TRUE(notify.WaitFor("STATUS=Paused", resumed)) << notify.all;
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(20000), 0) << p.Output();
    EXPECT_TRUE(notify.WaitFor("STATUS=Stopped")) << notify.all;
    EXPECT_EQ(OpenStore()->crash.GetDword("Flags") & 1u, 0u);
}

TEST_F(ProgramFixture, DebugRunIsTheFullApplicationAndHandsOver) {
    ChildProcess p = Start({"/debug"});
    ASSERT_TRUE(WaitRunning(p)) << p.Output();
    std::string out;
    EXPECT_EQ(RunProcess({ZK40_BIN, "/debug", "/runjob:Other"}, &out, 20000, kNoDelay), 0) << out;
    EXPECT_EQ(OpenStore()->base.GetString("RunJob"), "Other");
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(20000), 0);
}

// Closing the terminal (SIGHUP) stops the program as cleanly as SIGTERM and
// SIGINT do: exit 0 and the running bit cleared, so no crash is reported.
TEST_F(ProgramFixture, HangupInterruptAndTerminateAreCleanStops) {
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) {
        ChildProcess p = Start();
        ASSERT_TRUE(WaitRunning(p)) << p.Output();
        p.Signal(sig);
        EXPECT_EQ(p.Wait(20000), 0) << strsignal(sig) << "\n" << p.Output();
        EXPECT_EQ(OpenStore()->crash.GetDword("Flags") & 1u, 0u) << strsignal(sig);
        EXPECT_EQ(p.Output().find("did not shut down"), std::string::npos) << p.Output();
    }
}

// Without its signal handling the program could be neither stopped nor
// paused: it says so and leaves with a failure.
TEST_F(ProgramFixture, SignalHandlingThatCannotBeSetUpIsReportedAndFails) {
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"/debug"}}) {
        ChildProcess p = Start(args, {{"ZK40_NO_START_DELAY", "1"},
                                      {"LD_PRELOAD", ZK40_FAIL_SIGNALFD_PATH},
                                      {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
        EXPECT_EQ(p.Wait(20000), 1) << p.Output();
        EXPECT_NE(p.Output().find("Unable to register control handler. (signalfd: Too many open "
                                  "files)"),
                  std::string::npos)
            << p.Output();
    }
}

// A runtime folder that is gone (the session that made it has ended) does
// not keep the program from running: it takes its private folder instead.
// With no usable folder at all it says why and fails.
TEST_F(ProgramFixture, StaleRuntimeFolderFallsBackToThePrivateOne) {
    const std::vector<std::pair<std::string, std::string>> env = {
        {"ZK40_NO_START_DELAY", "1"}, {"XDG_RUNTIME_DIR", dir / "ended-session"}};
    const std::string fallback = dir / ("tmp/zarkell40-" + std::to_string(getuid()));
    ChildProcess p = Start({}, env);
    ASSERT_TRUE(WaitFor(
        [&] {
            return p.Running() && FileExists(xdg.storePath()) && OpenStore()->RunningBit() &&
                   FileExists(fallback + "/DX14-ZK40-Instance");
        },
        20000))
        << p.Output();
    std::string out;
    // Handed over (the instance answers that no job has the name), not run.
    EXPECT_EQ(RunProcess({ZK40_BIN, "/runjob:Nobody"}, &out, 20000, env), 1) << out;
    EXPECT_NE(out.find("There is no job named \"Nobody\""), std::string::npos) << out;
    EXPECT_TRUE(p.Running()) << "the second start handed over instead of running";
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(20000), 0) << p.Output();

    std::filesystem::remove_all(fallback);
    WriteFile(fallback, "");
    EXPECT_EQ(RunProcess({ZK40_BIN}, &out, 20000, env), 1) << out;
    EXPECT_NE(out.find("cannot check for a running instance"), std::string::npos) << out;
}

TEST(Boundary, CoreToolsLinkNeitherQtGuiNorWidgets) {
    for (std::string bin : {std::string(ZK40_REG_BIN),
                            std::string(ZK40_BUILD_DIR) + "/tests/zk40_unit_tests",
                            std::string(ZK40_BUILD_DIR) + "/tests/zk40_integration_tests"}) {
        std::string out;
        ASSERT_EQ(RunProcess({"/usr/bin/readelf", "-d", bin}, &out), 0) << bin;
        EXPECT_NE(out.find("NEEDED"), std::string::npos) << bin;
        EXPECT_EQ(out.find("Qt6Gui"), std::string::npos) << bin;
        EXPECT_EQ(out.find("Qt6Widgets"), std::string::npos) << bin;
    }
    // The program leaves them to its window object, loaded only to show
    // the window.
    std::string out;
    ASSERT_EQ(RunProcess({"/usr/bin/readelf", "-d", ZK40_BIN}, &out), 0);
    EXPECT_NE(out.find("Qt6Core"), std::string::npos) << out;
    EXPECT_EQ(out.find("Qt6Gui"), std::string::npos) << out;
    EXPECT_EQ(out.find("Qt6Widgets"), std::string::npos) << out;
    ASSERT_EQ(RunProcess({"/usr/bin/readelf", "-d", ZK40_WINDOW_OBJECT}, &out), 0);
    EXPECT_NE(out.find("Qt6Gui"), std::string::npos) << out;
    EXPECT_NE(out.find("Qt6Widgets"), std::string::npos) << out;
}

// The folders of src/ are layers, each built on those before it in this
// list; the window and the dialogs sit on top of them all. A file that
// includes a later layer ties the two together in both directions, and the
// lower one can no longer be built, tested or read without the higher.
TEST(Boundary, LayersIncludeOnlyTheLayersBelow) {
    const std::vector<std::string> layers = {"support", "store",  "jobs", "scheduler",
                                             "modules", "update", "base"};
    const std::string src = std::string(ZK40_SOURCE_DIR) + "/src/";
    for (size_t i = 0; i < layers.size(); ++i) {
        std::string higher = "ui|dialogs";
        for (size_t j = i + 1; j < layers.size(); ++j) higher += "|" + layers[j];
        const std::string dir = src + layers[i];
        std::string out;
        // grep finds includes there at all, so that its silence below means
        // something.
        ASSERT_EQ(RunProcess({"/usr/bin/grep", "-rlE", "^#include \"", dir}, &out), 0)
            << dir << "\n"
            << out;
        const std::string upward =
            "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"(" + higher + ")/";
        EXPECT_EQ(RunProcess({"/usr/bin/grep", "-rnE", upward, dir}, &out), 1)
            << layers[i] << " includes a later layer:\n"
            << out;
    }
    // The window's interface is the client's: the layers under it take the
    // narrower views of their own that the client hands them.
    std::string out;
    EXPECT_EQ(RunProcess({"/usr/bin/grep", "-rnF", "jobs/ClientView.h", src + "jobs",
                          src + "scheduler", src + "modules", src + "update"},
                         &out),
              1)
        << out;
}

}  // namespace

namespace {

TEST_F(ProgramFixture, TraceLinesBeforeTheFlagsAreLoadedAreNotWritten) {
    {
        auto app = OpenStore();
        app->base.SetDword("DebugFlags", kTraceGeneral | kTraceShutdown);
        app->base.SetString("DebugCode", debugcode::Issue(0xFF, CurrentStoreTime() + 86400));
    }
    ChildProcess p = Start();
    ASSERT_TRUE(WaitRunning(p)) << p.Output();
    p.Signal(SIGTERM);
    ASSERT_EQ(p.Wait(20000), 0);
    std::string log = ReadFile(xdg.stateHome() + "/zarkell40/zk40.trace.log");
    for (const char* line : {"OwlMain() -- 3", "OwlMain() -- 4", "TZarkellClient::TZarkellClient()",
                             "TZarkellClient::SetupWindow()", "TZarkellClient::CloseWindow()",
                             "TZarkellApp::~TZarkellApp() -- 1"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    for (const char* line : {"OwlMain() -- 1", "OwlMain() -- 2", "::EvTimer()"})
        EXPECT_EQ(log.find(line), std::string::npos) << line;
}

}  // namespace
