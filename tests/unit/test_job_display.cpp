// The tree's look of a job and its actions, and the status bar clock: pure
// functions, checked over tables of cases.
#include <gtest/gtest.h>

#include "jobs/JobDisplay.h"
#include "support/ClockText.h"

using namespace zk40;

namespace {

std::string T(StoreTime t) { return "<" + std::to_string(t) + ">"; }

TEST(JobDisplay, StatusLineFollowsStateAndScheduleKind) {
    struct Case {
        uint32_t state, sched;
        StoreTime nextRun;
        const char* line;
    };
    const Case cases[] = {
        {1, 5, 200, "CREATING..."},
        {2, 5, 200, "READY [Created: <100>   NextRun: <200>]"},
        {2, 1, 200, "READY [Created: <100>]"},
        {3, 5, 200, "RUNNING [LastRun: <100>]"},
        {4, 7, 200, "RUNNING [LastRun: <100>]"},
        {5, 3, 200, "COMPLETED [LastRun: <100>   NextRun: <200>]"},
        {5, 4, 200, "COMPLETED [LastRun: <100>   NextRun: <200>]"},
        {5, 6, 200, "COMPLETED [LastRun: <100>   NextRun: <200>]"},
        {5, 8, 200, "COMPLETED [LastRun: <100>   NextRun: <200>]"},
        // Manual and start-up jobs never show a next run.
        {5, 1, 200, "COMPLETED [LastRun: <100>]"},
        {5, 2, 200, "COMPLETED [LastRun: <100>]"},
        // A once job shows it until it has run (its next run is then never).
        {5, 9, 200, "COMPLETED [LastRun: <100>   NextRun: <200>]"},
        {5, 9, kNeverTime, "COMPLETED [LastRun: <100>]"},
        {6, 5, 200, "CANCELLED [LastRun: <100>   NextRun: <200>]"},
        {0, 5, 200, "UNKNOWN STATE 0"},
        {9, 5, 200, "UNKNOWN STATE 9"},
    };
    for (const Case& c : cases) {
        JobSnapshot s;
        s.state = c.state;
        s.schedType = c.sched;
        s.lastRun = 100;
        s.nextRun = c.nextRun;
        EXPECT_EQ(JobStatusLine(s, T), c.line) << "state " << c.state << " kind " << c.sched;
    }
}

TEST(JobDisplay, ImagesOfJobsActionsAndTheAnimation) {
    struct JobCase {
        uint32_t sched, lastStat;
        int image;
    };
    for (const JobCase& c : {JobCase{5, 0, 0}, JobCase{5, 1, 3}, JobCase{9, 2, 3},
                             JobCase{1, 0, 6}, JobCase{1, 1, 7}})
        EXPECT_EQ(JobImage(c.sched, c.lastStat), c.image) << c.sched << "/" << c.lastStat;
    struct ActionCase {
        uint32_t lastStat;
        bool loaded;
        int image;
    };
    for (const ActionCase& c : {ActionCase{0, true, 4}, ActionCase{0, false, 5},
                                ActionCase{1, true, 8}, ActionCase{1, false, 9}})
        EXPECT_EQ(ActionImage(c.lastStat, c.loaded), c.image);
    // Any image below the first frame starts the cycle 10..17.
    EXPECT_EQ(NextRunImage(0), 10);
    EXPECT_EQ(NextRunImage(9), 10);
    EXPECT_EQ(NextRunImage(10), 11);
    EXPECT_EQ(NextRunImage(16), 17);
    EXPECT_EQ(NextRunImage(17), 10);
}

TEST(JobDisplay, ElapsedTimeText) {
    EXPECT_EQ(ElapsedText(0), "");
    EXPECT_EQ(ElapsedText(7), "7s");
    EXPECT_EQ(ElapsedText(65), "1m 05s");
    EXPECT_EQ(ElapsedText(3600 + 2 * 60 + 3), "1h 02m 03s");
    EXPECT_EQ(ElapsedText(100 * 3600), "100h 00m 00s");
}

TEST(ClockText, FormatsAfterTheTimeSettings) {
    ClockSettings defaults;
    ClockSettings h24{false, true, ":", "am", "pm"};
    ClockSettings dots{true, true, ".", "AM", "PM"};
    struct Case {
        ClockSettings s;
        int h, m, sec;
        const char* text;
    };
    const Case cases[] = {
        {defaults, 14, 5, 9, "2:05:09 pm"},
        {defaults, 0, 30, 0, "0:30:00 am"},
        {defaults, 12, 0, 0, "12:00:00 pm"},
        {defaults, 23, 59, -1, "11:59 pm"},
        {h24, 9, 7, 3, "09:07:03"},
        {h24, 21, 7, -1, "21:07"},
        {dots, 9, 7, 3, "09.07.03 AM"},
    };
    for (const Case& c : cases) {
        TClockFormatter f([&] { return c.s; });
        EXPECT_EQ(f.Format(c.h, c.m, c.sec).value_or("(none)"), c.text);
    }
}

TEST(ClockText, AnInvalidCallReadsTheSettingsAgain) {
    int reads = 0;
    ClockSettings s;
    TClockFormatter f([&] {
        ++reads;
        return s;
    });
    EXPECT_EQ(*f.Format(14, 0, 0), "2:00:00 pm");
    s.twelveHour = false;
    EXPECT_EQ(*f.Format(14, 0, 0), "2:00:00 pm");  // cached
    EXPECT_EQ(f.Format(-1, 0), std::nullopt);
    EXPECT_EQ(*f.Format(14, 0, 0), "14:00:00");
    EXPECT_EQ(reads, 2);
}

}  // namespace
