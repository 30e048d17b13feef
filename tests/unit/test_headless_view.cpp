// The headless view as a log: repeats dropped, progress thinned, the
// update's chatter only when asked for.
#include <gtest/gtest.h>

#include "base/ClientView.h"

using namespace zk40;

namespace {

struct Lines {
    std::vector<std::string> all;
    THeadlessView::Clock::time_point now{};
    THeadlessView View(int verbose) {
        return THeadlessView(
            verbose, [this](const std::string& l) { all.push_back(l); }, [this] { return now; });
    }
    void Advance(int ms) { now += std::chrono::milliseconds(ms); }
};

// What one download, parse and module install says, in order.
const char* const kUpdateRun[] = {
    "SysUpd:  Opening...",
    "SysUpd:  Waiting for response...",
    "SysUpd:  Reading  0.00% (0 of 900 bytes) [0 bytes/sec]...",
    "SysUpd:  Reading 50.00% (450 of 900 bytes) [450 bytes/sec]...",
    "SysUpd:  Done reading 100.00% (900 of 900 bytes) [900 bytes/sec]...",
    "SysUpd:  Parsing configuration data...",
    "SysUpd:  Parsing configuration data (600 of 900 bytes)...",
    "SysUpd:  Parsing configuration data completed.",
    "SysUpd:  Opening Archive '/x/ZKTTab.ZKZ'...",
    "Opening /x/ZKTTab.ZKZ",
    "Reading directory",
    "Done",
    "SysUpd:  Marking File (1) '/x/ZKTTab'...",
    "SysUpd:  Extracting Files...",
    "Extracting ACTION.DLL",
    "Done",
    "Closing /x/ZKTTab.ZKZ",
    "SysUpd:  Removing Archive '/x/ZKTTab.ZKZ'...",
    "SysUpd:  1 Files Extracted.",
    "SysUpd:  Loading Action...",
    "SysUpd:  Action Loaded.",
    "SysUpd:  Completed.  Next Update = 12/11/2026 10:00:00.",
};

TEST(HeadlessView, UpdateChatterOnlyWhenVerboseOutcomesAlways) {
    Lines quiet;
    THeadlessView q = quiet.View(0);
    q.QueueBranchAdd("[SYSTEM UPDATE] System Configuration File");
    for (const char* t : kUpdateRun) q.ShowStatus(t);
    q.ShowStatus("SysUpd:  Download from example.com ended early: 5 of 9 bytes received");
    EXPECT_EQ(quiet.all, (std::vector<std::string>{
                             "SysUpd:  Action Loaded.",
                             "SysUpd:  Completed.  Next Update = 12/11/2026 10:00:00.",
                             "SysUpd:  Download from example.com ended early: 5 of 9 bytes "
                             "received"}));

    Lines loud;
    THeadlessView v = loud.View(1);
    v.QueueBranchAdd("[SYSTEM UPDATE] System Configuration File");
    for (const char* t : kUpdateRun) v.ShowStatus(t);
    // Everything but the second reading and the parse progress: progress
    // of the update comes at most once a second.
    EXPECT_EQ(loud.all.size(), 1 + std::size(kUpdateRun) - 2);
    EXPECT_EQ(loud.all.front(), "Update queue:  [SYSTEM UPDATE] System Configuration File");
}

TEST(HeadlessView, RepeatsAreDroppedAndProgressComesAtMostOnceASecond) {
    Lines out;
    THeadlessView v = out.View(1);
    // The connection poll says the same thing twice a second.
    for (int i = 0; i < 10; ++i) v.ConnectionState("Unknown");
    v.ConnectionState("On-Line");
    v.ConnectionState("On-Line");
    // A run's result, then the same text again when the job thread records
    // it: one line. The next run ending the same way a minute later is news.
    v.ShowActionStatus("Backup", "copy", "Running: /bin/cp a b");
    v.ShowActionStatus("Backup", "copy", "Completed: exit code 0");
    v.ShowActionStatus("Backup", "copy", "Completed: exit code 0");
    v.ShowActionStatus("Other", "copy", "Completed: exit code 0");
    out.Advance(60000);
    v.ShowActionStatus("Backup", "copy", "Completed: exit code 0");
    // Download progress every 100 ms for 2.5 s: one line a second.
    for (int i = 0; i < 25; ++i) {
        v.ShowStatus("SysUpd:  Reading (" + std::to_string(i * 1000) + " bytes) [1K bytes/sec]...");
        out.Advance(100);
    }
    EXPECT_EQ(out.all, (std::vector<std::string>{
                           "Connection:  Unknown",
                           "Connection:  On-Line",
                           "[Backup / copy] Running: /bin/cp a b",
                           "[Backup / copy] Completed: exit code 0",
                           "[Other / copy] Completed: exit code 0",
                           "[Backup / copy] Completed: exit code 0",
                           "SysUpd:  Reading (0 bytes) [1K bytes/sec]...",
                           "SysUpd:  Reading (10000 bytes) [1K bytes/sec]...",
                           "SysUpd:  Reading (20000 bytes) [1K bytes/sec]...",
                       }));
}

}  // namespace
