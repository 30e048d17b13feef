// An idle program sleeps until something is due, yet still starts jobs at
// their second and answers a hand-over at once.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "Catalogue.h"
#include "ProgramFixture.h"
#include "store/Trace.h"
#include "support/StoreTime.h"

using namespace zk40;
using namespace zk40test;

namespace {

struct IdleFixture : RealProgramFixture {
    void SetUp() override {
        InstallTestModule();
        // Every tick writes a line to the trace log, so the log counts them.
        app->base.SetDword("DebugFlags", kTraceTimer);
        app->base.SetString("DebugCode", debugcode::Issue(0xFF, CurrentStoreTime() + 86400));
    }
    int Ticks() {
        std::ifstream in(paths.traceLog);
        std::string line;
        int n = 0;
        while (std::getline(in, line))
            if (line.find("::EvTimer()") != std::string::npos) ++n;
        return n;
    }
};

TEST_F(IdleFixture, SleepsBetweenDueMomentsAndStillRunsTheJobs) {
    // Due a few seconds after the start: the program sleeps until then.
    uint32_t once = MakeTestJob(app->jobs, actions, "Soon", {{.report = "ran"}}, 9,
                                CurrentStoreTime() + 4);
    MakeTestJob(app->jobs, actions, "Far", {{}}, 9, CurrentStoreTime() + 400 * 86400);
    ChildProcess p = Start();
    ASSERT_TRUE(WaitFor([&] { return JobRan(once); }, 30000)) << p.Output();
    // Idle again: over three seconds a ticking program would trace about
    // thirty ticks; a sleeping one none or one.
    int before = Ticks();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    int during = Ticks() - before;
    EXPECT_LE(during, 2) << "ticks while idle";
    Stop(p);
}

TEST_F(IdleFixture, HandOverWakesASleepingProgram) {
    uint32_t id = MakeTestJob(app->jobs, actions, "Manual", {{.report = "ran"}});
    ChildProcess p = Start();
    // Let it settle into its sleep, which lasts up to five minutes.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ChildProcess second = Start({"/runjob:Manual"});
    EXPECT_EQ(second.Wait(30000), 0) << second.Output();
    // Well inside the longest sleep: only the wake-up can have started it.
    EXPECT_TRUE(WaitFor([&] { return JobRan(id); }, 20000)) << p.Output();
    Stop(p);
}

TEST_F(IdleFixture, NetworkArchiveAndWindowLibrariesStayUnloadedAtRest) {
    // No shipped modules to install, so nothing at start needs an update.
    app->base.SetDword("ShippedModules", 1);
    MakeTestJob(app->jobs, actions, "Far", {{}}, 9, CurrentStoreTime() + 400 * 86400);
    TempDir share;
    // No display (an empty variable counts as unset), whatever the test's
    // own environment has.
    ChildProcess p(std::vector<std::string>{ZK40_BIN}, dir / "out.txt",
                   {{"ZK40_NO_START_DELAY", "1"},
                    {"ZK40_SHARE_DIR", share.path()},
                    {"DISPLAY", ""},
                    {"WAYLAND_DISPLAY", ""},
                    {"QT_QPA_PLATFORM", ""}});
    ASSERT_TRUE(WaitFor(
        [&] { return p.Output().find("System Initialization:  Completed,") != std::string::npos; },
        30000))
        << p.Output();
    std::ifstream maps("/proc/" + std::to_string(p.pid()) + "/maps");
    std::stringstream all;
    all << maps.rdbuf();
    ASSERT_NE(all.str().find("libQt6Core"), std::string::npos) << "maps unreadable";
    for (const char* lib : {"libcurl", "libzip", "libssl", "libcrypto", "libQt6Network", "libQt6Gui",
                            "libQt6Widgets", "zarkell40-window"})
        EXPECT_EQ(all.str().find(lib), std::string::npos) << lib << " is loaded at rest";
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(30000), 0) << p.Output();
}

}  // namespace
