// zk40-debugcode run as a user runs it: the code it prints is checked by the
// tool itself and turns tracing on in the real program.
#include <gtest/gtest.h>
#include <signal.h>

#include "Process.h"
#include "TestEnv.h"
#include "store/AppStore.h"
#include "store/Trace.h"

using namespace zk40;
using namespace zk40test;

namespace {

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

TEST(DebugCodeTool, IssuesCodesForEveryDayTheStoreClockHolds) {
    // 1944-05-01 is the first day a 32-bit product of the day count
    // overflowed; the last day is the one before the store's "never".
    for (const char* day : {"1901-01-01", "1944-04-30", "1944-05-01", "2026-12-10", "2030-06-30",
                            "2037-02-06"}) {
        std::string code, check;
        ASSERT_EQ(RunProcess({ZK40_DEBUGCODE_BIN, "0x08", day}, &code), 0) << day << ": " << code;
        code = Trimmed(code);
        ASSERT_EQ(RunProcess({ZK40_DEBUGCODE_BIN, "--check", code}, &check), 0) << day;
        EXPECT_EQ(Trimmed(check), std::string("flags 0x08, valid through ") + day) << code;
    }
    for (const char* bad : {"2037-02-08", "2040-01-01", "1900-12-31", "2027-02-30", "soon"}) {
        std::string out;
        EXPECT_EQ(RunProcess({ZK40_DEBUGCODE_BIN, "0x08", bad}, &out), 1) << bad;
        EXPECT_NE(out.find("LAST-DAY"), std::string::npos) << bad << ": " << out;
    }
}

TEST(DebugCodeTool, ItsCodeTurnsTracingOnInTheProgram) {
    TempDir dir;
    ScopedXdg xdg{dir};
    // Valid for a year from today: a day the old range check refused.
    std::string lastDay = FormatStoreTime(CurrentStoreTime() + 365 * kSecondsPerDay).substr(0, 10);
    std::string code;
    ASSERT_EQ(RunProcess({ZK40_DEBUGCODE_BIN, "0xFF", lastDay}, &code), 0) << code;
    {
        AppPaths paths = AppPaths::FromEnvironment();
        paths.MakeFolders();
        TAppStore app(paths);
        app.base.SetDword("DebugFlags", kTraceGeneral);
        app.base.SetString("DebugCode", Trimmed(code));
    }
    ChildProcess p({ZK40_BIN}, dir / "out.txt", {{"ZK40_NO_START_DELAY", "1"}});
    const std::string log = xdg.stateHome() + "/zarkell40/zk40.trace.log";
    ASSERT_TRUE(WaitFor(
        [&] {
            return ReadFile(log).find("TZarkellClient::SetupWindow()") != std::string::npos;
        },
        20000))
        << p.Output();
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(20000), 0) << p.Output();
}

}  // namespace
