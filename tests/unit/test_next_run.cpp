#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "jobs/NextRun.h"
#include "support/StoreTime.h"

using namespace zk40;

namespace {

StoreTime T(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return ToStoreTime(y, mo, d, h, mi, s);
}
// A time of day for StartTime/StopTime (the date part is ignored).
StoreTime Tod(int h, int mi, int s = 0) { return T(2000, 1, 1, h, mi, s); }

// 2024-06-03 is a Monday; the 8th and 9th are a Saturday and a Sunday.
constexpr uint32_t kSatSunExcluded = 0x104;
constexpr uint32_t kTueExcluded = 0x010;
constexpr uint32_t kAllExcluded = 0x1FC;
// A function, not a constant: times are not computed during static set-up.
StoreTime ProcessStart() { return T(2024, 6, 3, 9, 0, 0); }

struct Case {
    const char* name;
    NextRunInput in;
    StoreTime now;
    StoreTime want;
};

void RunCases(const std::vector<Case>& cases, StoreTime processStart = ProcessStart()) {
    for (const Case& c : cases) {
        NextRunResult r = ComputeNextRun(c.in, c.now, processStart);
        EXPECT_EQ(FormatStoreTime(r.NextRun), FormatStoreTime(c.want)) << c.name;
        EXPECT_EQ(r.RetriesDone, 0) << c.name;
    }
}

TEST(NextRun, ManualOnceAndUnknownKinds) {
    const StoreTime now = T(2024, 6, 3, 10, 0);
    const StoreTime at = T(2024, 6, 10, 12, 0);
    RunCases({
        {"manual", {.SchedType = 1, .LastRun = 0, .NextRun = 77}, now, kNeverTime},
        {"once, not yet run", {.SchedType = 9, .Time = at, .LastRun = T(2024, 6, 1)}, now, at},
        {"once, ran at its time",
         {.SchedType = 9, .Time = at, .LastRun = at},
         T(2024, 6, 10, 12, 5),
         kNeverTime},
    });
    // An unknown kind (or none stored) never runs by schedule: a NextRun
    // left in the past would start it at every pass.
    for (uint32_t kind : {0u, 10u, 0xFFFFFFFFu}) {
        NextRunResult r = ComputeNextRun({.SchedType = kind, .NextRun = now - 5}, now, ProcessStart());
        EXPECT_EQ(r.NextRun, kNeverTime) << kind;
        EXPECT_TRUE(r.UnknownKind) << kind;
    }
    EXPECT_FALSE(ComputeNextRun({.SchedType = 9, .Time = at}, now, ProcessStart()).UnknownKind);
}

TEST(NextRun, OnStartupRunsOnlyInTheFirstMinuteOnAllowedDaysInsideTheWindow) {
    const StoreTime s = ProcessStart();  // Monday 09:00
    const NextRunInput base{.SchedType = 2, .LastRun = T(2024, 6, 2)};
    auto with = [&](auto change) {
        NextRunInput in = base;
        change(in);
        return in;
    };
    RunCases({
        {"30 s after start", base, s + 30, s + 30},
        {"exactly 60 s after start", base, s + 60, s + 60},
        {"61 s after start", base, s + 61, kNeverTime},
        {"clock before the start", base, s - 10, kNeverTime},
        {"already ran in this process", with([&](auto& in) { in.LastRun = s; }), s + 10,
         kNeverTime},
        {"Monday excluded", with([](auto& in) { in.Flags = 0x008; }), s + 10, kNeverTime},
        {"before the window",
         with([](auto& in) { in.StartTime = Tod(10, 0), in.StopTime = Tod(17, 0); }), s + 10,
         kNeverTime},
        {"inside an overnight window",
         with([](auto& in) { in.StartTime = Tod(22, 0), in.StopTime = Tod(9, 30); }), s + 10,
         s + 10},
        {"outside an overnight window",
         with([](auto& in) { in.StartTime = Tod(22, 0), in.StopTime = Tod(8, 0); }), s + 10,
         kNeverTime},
    });
}

TEST(NextRun, Monthly) {
    const StoreTime day15 = T(2024, 1, 15, 8, 30);
    const StoreTime day31 = T(2024, 1, 31, 9, 0);
    const StoreTime day29 = T(2024, 1, 29, 7, 0);
    const StoreTime now = T(2024, 6, 20, 10, 0);
    RunCases({
        {"ran on the 15th, now the 20th",
         {.SchedType = 3, .Time = day15, .LastRun = T(2024, 6, 15, 8, 30)},
         now,
         T(2024, 7, 15, 8, 30)},
        {"missed this month's run",
         {.SchedType = 3, .Time = day15, .LastRun = T(2024, 5, 15, 8, 30)},
         now,
         now + 60},
        {"before this month's day",
         {.SchedType = 3, .Time = day15, .LastRun = T(2024, 5, 15, 8, 30)},
         T(2024, 6, 10),
         T(2024, 6, 15, 8, 30)},
        {"before this month's day, missed last month's",
         {.SchedType = 3, .Time = day15, .LastRun = T(2024, 4, 15, 8, 30)},
         T(2024, 6, 10),
         T(2024, 6, 10) + 60},
        {"the 31st skips April",
         {.SchedType = 3, .Time = day31, .LastRun = T(2024, 3, 31, 9, 0)},
         T(2024, 4, 10),
         T(2024, 5, 31, 9, 0)},
        {"no run on the 30th of a month without a 31st",
         {.SchedType = 3, .Time = day31, .LastRun = T(2024, 3, 31, 9, 0)},
         T(2024, 4, 30, 10, 0),
         T(2024, 5, 31, 9, 0)},
        {"the 31st, missed May's",
         {.SchedType = 3, .Time = day31, .LastRun = T(2024, 3, 31, 9, 0)},
         T(2024, 5, 31, 10, 0),
         T(2024, 5, 31, 10, 1)},
        {"the 29th skips a short February",
         {.SchedType = 3, .Time = day29, .LastRun = T(2023, 1, 29, 7, 0)},
         T(2023, 2, 20),
         T(2023, 3, 29, 7, 0)},
    });
}

TEST(NextRun, Weekly) {
    const StoreTime wednesday = T(2024, 6, 5, 14, 0);
    RunCases({
        {"ran last Wednesday, now Monday",
         {.SchedType = 4, .Time = wednesday, .LastRun = T(2024, 6, 5, 14, 0)},
         T(2024, 6, 10, 9, 0),
         T(2024, 6, 12, 14, 0)},
        {"missed last Wednesday",
         {.SchedType = 4, .Time = wednesday, .LastRun = T(2024, 5, 29, 14, 0)},
         T(2024, 6, 10, 9, 0),
         T(2024, 6, 10, 9, 1)},
        {"Wednesday after the run",
         {.SchedType = 4, .Time = wednesday, .LastRun = T(2024, 6, 12, 14, 0)},
         T(2024, 6, 12, 15, 0),
         T(2024, 6, 19, 14, 0)},
        {"Wednesday before the time",
         {.SchedType = 4, .Time = wednesday, .LastRun = T(2024, 6, 5, 14, 0)},
         T(2024, 6, 12, 13, 0),
         T(2024, 6, 12, 14, 0)},
    });
}

TEST(NextRun, DailyWithExcludedWeekdays) {
    const StoreTime eight = T(2024, 1, 1, 8, 0);
    RunCases({
        {"ran yesterday, now 09:30",
         {.SchedType = 5, .Time = eight, .LastRun = T(2024, 6, 2, 8)},
         T(2024, 6, 3, 9, 30),
         T(2024, 6, 3, 9, 31)},
        {"ran today",
         {.SchedType = 5, .Time = eight, .LastRun = T(2024, 6, 3, 9, 31)},
         T(2024, 6, 3, 9, 32),
         T(2024, 6, 4, 8, 0)},
        {"before today's time",
         {.SchedType = 5, .Time = eight, .LastRun = T(2024, 6, 2, 8)},
         T(2024, 6, 3, 7, 0),
         T(2024, 6, 3, 8, 0)},
        {"on an excluded Saturday",
         {.SchedType = 5, .Time = eight, .LastRun = T(2024, 6, 7, 8), .Flags = kSatSunExcluded},
         T(2024, 6, 8, 7, 0),
         T(2024, 6, 10, 8, 0)},
        {"Friday after the run",
         {.SchedType = 5, .Time = eight, .LastRun = T(2024, 6, 7, 8), .Flags = kSatSunExcluded},
         T(2024, 6, 7, 9, 0),
         T(2024, 6, 10, 8, 0)},
        {"every day excluded",
         {.SchedType = 5, .Time = eight, .LastRun = T(2024, 6, 2, 8), .Flags = kAllExcluded},
         T(2024, 6, 3, 9, 30),
         kNeverTime},
    });
}

TEST(NextRun, HourlyWithWindows) {
    const StoreTime min15 = T(2024, 1, 1, 0, 15);
    const NextRunInput office{
        .SchedType = 6, .Time = min15, .StartTime = Tod(8, 0), .StopTime = Tod(17, 0)};
    const NextRunInput overnight{
        .SchedType = 6, .Time = min15, .StartTime = Tod(22, 0), .StopTime = Tod(2, 0)};
    auto with = [](NextRunInput in, StoreTime lastRun, uint32_t flags = 0) {
        in.LastRun = lastRun;
        in.Flags = flags;
        return in;
    };
    RunCases({
        {"after the last run of the day", with(office, T(2024, 6, 3, 17, 15)),
         T(2024, 6, 3, 17, 20), T(2024, 6, 4, 8, 15)},
        {"next morning excluded", with(office, T(2024, 6, 3, 17, 15), kTueExcluded),
         T(2024, 6, 3, 17, 20), T(2024, 6, 5, 8, 15)},
        {"missed this hour's run", with(office, T(2024, 6, 3, 11, 15)), T(2024, 6, 3, 12, 20),
         T(2024, 6, 3, 12, 21)},
        {"before this hour's minute", with(office, T(2024, 6, 3, 11, 15)), T(2024, 6, 3, 12, 10),
         T(2024, 6, 3, 12, 15)},
        {"overnight, midday", with(overnight, T(2024, 6, 3, 12, 15)), T(2024, 6, 3, 12, 20),
         T(2024, 6, 3, 22, 15)},
        {"overnight, after midnight", with(overnight, T(2024, 6, 4, 0, 15)), T(2024, 6, 4, 0, 20),
         T(2024, 6, 4, 1, 15)},
        {"overnight, last hour", with(overnight, T(2024, 6, 4, 1, 15)), T(2024, 6, 4, 1, 20),
         T(2024, 6, 4, 22, 15)},
        {"weekend excluded, no window",
         with({.SchedType = 6, .Time = min15}, T(2024, 6, 7, 23, 15), kSatSunExcluded),
         T(2024, 6, 7, 23, 20), T(2024, 6, 10, 0, 15)},
        {"window too narrow for minute 15",
         with({.SchedType = 6, .Time = min15, .StartTime = Tod(8, 0), .StopTime = Tod(8, 10)},
              T(2024, 6, 3, 11, 15)),
         T(2024, 6, 3, 11, 20), kNeverTime},
        {"every day excluded", with(office, T(2024, 6, 3, 11, 15), kAllExcluded),
         T(2024, 6, 3, 12, 20), kNeverTime},
    });
}

TEST(NextRun, EveryInterval) {
    auto every = [](uint32_t h, uint32_t m, StoreTime lastRun, uint32_t flags = 0,
                    StoreTime start = 0, StoreTime stop = 0) {
        return NextRunInput{.SchedType = 7,
                            .Hour = h,
                            .Minute = m,
                            .LastRun = lastRun,
                            .StartTime = start,
                            .StopTime = stop,
                            .Flags = flags};
    };
    RunCases({
        {"1:30 after 10:00:45 drops the seconds", every(1, 30, T(2024, 6, 3, 10, 0, 45)),
         T(2024, 6, 3, 10, 5), T(2024, 6, 3, 11, 30, 0)},
        {"interval passed", every(1, 30, T(2024, 6, 3, 7, 0)), T(2024, 6, 3, 10, 5),
         T(2024, 6, 3, 10, 6)},
        {"steps over the night into the window",
         every(1, 30, T(2024, 6, 3, 16, 0), 0, Tod(8, 0), Tod(17, 0)), T(2024, 6, 3, 16, 5),
         T(2024, 6, 4, 8, 30)},
        {"steps over an excluded weekend", every(12, 0, T(2024, 6, 7, 20, 0), kSatSunExcluded),
         T(2024, 6, 7, 20, 5), T(2024, 6, 10, 8, 0)},
        {"window search skips excluded days too",
         every(1, 0, T(2024, 6, 7, 16, 30), kSatSunExcluded, Tod(8, 0), Tod(17, 0)),
         T(2024, 6, 7, 16, 35), T(2024, 6, 10, 8, 30)},
        // The only fitting time is twelve days away: a search cut at a week
        // would wrongly give up.
        {"rare fit of a 13-minute interval",
         every(0, 13, T(2024, 6, 3, 10, 0), 0, Tod(8, 0, 0), Tod(8, 0, 30)), T(2024, 6, 3, 10, 5),
         T(2024, 6, 15, 8, 0)},
        {"a week's interval always lands on the excluded day",
         every(168, 0, T(2024, 6, 8, 10, 0), 0x100), T(2024, 6, 8, 10, 5), kNeverTime},
        {"zero interval outside the window",
         every(0, 0, T(2024, 6, 3, 18, 0), 0, Tod(8, 0), Tod(17, 0)), T(2024, 6, 3, 18, 0),
         kNeverTime},
        {"every day excluded", every(1, 0, T(2024, 6, 3, 7, 0), kAllExcluded), T(2024, 6, 3, 10, 5),
         kNeverTime},
    });
}

TEST(NextRun, Yearly) {
    const StoreTime march10 = T(2020, 3, 10, 6, 45);
    const StoreTime feb29 = T(2020, 2, 29, 12, 0);
    RunCases({
        {"ran on 10 March, now June",
         {.SchedType = 8, .Time = march10, .LastRun = T(2024, 3, 10, 6, 45)},
         T(2024, 6, 20),
         T(2025, 3, 10, 6, 45)},
        {"missed this year's",
         {.SchedType = 8, .Time = march10, .LastRun = T(2023, 3, 10, 6, 45)},
         T(2024, 6, 20),
         T(2024, 6, 20) + 60},
        {"before this year's date",
         {.SchedType = 8, .Time = march10, .LastRun = T(2023, 3, 10, 6, 45)},
         T(2024, 2, 1),
         T(2024, 3, 10, 6, 45)},
        {"29 February waits for a leap year",
         {.SchedType = 8, .Time = feb29, .LastRun = T(2024, 2, 29, 12, 0)},
         T(2025, 6, 1),
         T(2028, 2, 29, 12, 0)},
        {"29 February missed in the last leap year",
         {.SchedType = 8, .Time = feb29, .LastRun = T(2023, 6, 1)},
         T(2025, 6, 1),
         T(2025, 6, 1) + 60},
    });
}

// A scheduler in miniature: each run starts when it is due (or at once if
// that has passed) and ends a few seconds later, or within its own second.
// Whatever the kind, the next run must come after the run that just ended.
TEST(NextRun, NoKindFindsTheRunThatJustEndedDueAgain) {
    std::mt19937 rng(8);
    auto uniform = [&](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    const StoreTime from = T(2024, 1, 1), span = 2 * 365 * kSecondsPerDay;
    int runs = 0, sameSecond = 0;
    for (int job = 0; job < 3000; ++job) {
        NextRunInput in;
        in.SchedType = uniform(2, 9);
        in.Time = from + uniform(0, span);
        in.Time -= in.Time % 60 * uniform(0, 1);  // some on the whole minute
        in.Hour = uniform(0, 2);
        in.Minute = uniform(in.Hour ? 0 : 1, 59);
        in.Flags = uniform(0, 1) ? uniform(0, 0x7F) << 2 : 0;
        if (in.Flags == kAllExcluded) in.Flags = kSatSunExcluded;
        if (uniform(0, 1)) {
            in.StartTime = Tod(uniform(0, 23), uniform(0, 59));
            in.StopTime = Tod(uniform(0, 23), uniform(0, 59));
        }
        StoreTime now = from + uniform(0, span);
        in.LastRun = now - uniform(0, 10 * kSecondsPerDay);
        const StoreTime processStart = now - uniform(0, 90);
        for (int i = 0; i < 6; ++i) {
            NextRunResult r = ComputeNextRun(in, now, processStart);
            if (r.NextRun == kNeverTime) break;
            const StoreTime start = std::max(r.NextRun, now);
            const uint32_t took = uniform(0, 2) ? 0 : uniform(1, 59);
            in.LastRun = start;
            now = start + took;
            r = ComputeNextRun(in, now, processStart);
            ++runs;
            sameSecond += took == 0;
            ASSERT_GT(r.NextRun, start)
                << "kind " << in.SchedType << " ran at " << FormatStoreTime(start)
                << " and is due again at " << FormatStoreTime(r.NextRun);
            // Kind 7 may land on the second the run ended: its next whole
            // minute, one interval on. Every other kind comes later.
            if (in.SchedType != kSchedEvery) {
                ASSERT_GT(r.NextRun, now)
                    << "kind " << in.SchedType << " ended " << FormatStoreTime(now);
            }
        }
    }
    EXPECT_GT(runs, 5000);
    EXPECT_GT(sameSecond, 2000);
}

TEST(NextRun, DailyRunEndingInTheSecondItStartedIsNotDueAgain) {
    const NextRunInput daily{.SchedType = 5, .Time = T(2024, 1, 1, 8, 0)};
    const StoreTime eight = T(2024, 6, 3, 8, 0);
    NextRunInput ran = daily;
    ran.LastRun = eight;
    EXPECT_EQ(FormatStoreTime(ComputeNextRun(ran, eight, ProcessStart()).NextRun),
              FormatStoreTime(T(2024, 6, 4, 8, 0)));
    // Not yet run today and computed at that very second: due now.
    NextRunInput due = daily;
    due.LastRun = T(2024, 6, 2, 8, 0);
    EXPECT_EQ(ComputeNextRun(due, eight, ProcessStart()).NextRun, eight);
}

// A catch-up run of kinds 6 and 7 goes to the first moment at or after a
// minute from now that the weekdays and the window allow.
TEST(NextRun, CatchUpWaitsForAnAllowedDayAndTheWindow) {
    // Monday to Friday, 08:00 to 18:00; 2024-06-08 is a Saturday.
    const uint32_t weekdays = kSatSunExcluded;
    auto every = [&](StoreTime lastRun, StoreTime start = Tod(8, 0), StoreTime stop = Tod(18, 0),
                     uint32_t flags = kSatSunExcluded) {
        return NextRunInput{.SchedType = 7,
                            .Minute = 1,
                            .LastRun = lastRun,
                            .StartTime = start,
                            .StopTime = stop,
                            .Flags = flags};
    };
    auto hourly = [&](StoreTime lastRun, StoreTime start, StoreTime stop, uint32_t flags) {
        return NextRunInput{.SchedType = 6,
                            .Time = T(2024, 1, 1, 0, 15),
                            .LastRun = lastRun,
                            .StartTime = start,
                            .StopTime = stop,
                            .Flags = flags};
    };
    const StoreTime friday = T(2024, 6, 7, 17, 59);
    RunCases({
        {"started on Saturday morning", every(friday), T(2024, 6, 8, 10, 0), T(2024, 6, 10, 8, 0)},
        {"Monday before the window", every(friday), T(2024, 6, 10, 6, 0), T(2024, 6, 10, 8, 0)},
        {"inside the window", every(friday), T(2024, 6, 10, 10, 0, 30),
         T(2024, 6, 10, 10, 1, 30)},
        {"a minute on is past the close", every(T(2024, 6, 10, 12, 0)), T(2024, 6, 10, 17, 59, 30),
         T(2024, 6, 11, 8, 0)},
        {"Friday evening", every(T(2024, 6, 7, 12, 0)), T(2024, 6, 7, 19, 0),
         T(2024, 6, 10, 8, 0)},
        {"no window, weekend only", every(friday, 0, 0), T(2024, 6, 8, 10, 0),
         T(2024, 6, 10, 0, 0)},
        {"window over midnight, midday", every(friday, Tod(22, 0), Tod(2, 0), 0),
         T(2024, 6, 8, 12, 0), T(2024, 6, 8, 22, 0)},
        {"window over midnight, excluded evening", every(friday, Tod(22, 0), Tod(2, 0), 0x100),
         T(2024, 6, 8, 21, 0), T(2024, 6, 9, 0, 0)},
        {"hourly on Saturday", hourly(T(2024, 6, 7, 17, 15), Tod(8, 0), Tod(18, 0), weekdays),
         T(2024, 6, 8, 10, 20), T(2024, 6, 10, 8, 0)},
        {"hourly after the close", hourly(T(2024, 6, 10, 16, 15), Tod(8, 0), Tod(18, 0), weekdays),
         T(2024, 6, 10, 18, 20), T(2024, 6, 11, 8, 0)},
    });
}

// Recomputing because the clock moved is not the end of a run: a retry
// that waits keeps its place in the count.
TEST(NextRun, ClockChangeKeepsAPendingRetry) {
    const StoreTime now = T(2024, 6, 3, 10, 0);
    for (uint32_t retryCount : {1u, 2u}) {
        NextRunInput in{.SchedType = 5,
                        .Time = T(2024, 1, 1, 8, 0),
                        .LastRun = now - 5,
                        .LastStat = 1,
                        .RetryCount = retryCount,
                        .RetryDelay = 30};
        NextRunResult r = ComputeNextRun(in, now, ProcessStart());
        ASSERT_EQ(r.RetriesDone, 1);
        ASSERT_EQ(r.NextRun, now + 30);
        in.RetriesDone = r.RetriesDone;
        in.NextRun = r.NextRun;
        struct Move {
            const char* name;
            StoreTime clock;
            StoreTime want;
        };
        for (const Move& m : {Move{"a small step keeps the time", now + 10, now + 30},
                              Move{"set back a day", now - kSecondsPerDay,
                                   now - kSecondsPerDay + 30},
                              Move{"set forward an hour", now + 3600, now + 3630}}) {
            NextRunResult c =
                ComputeNextRun(in, m.clock, ProcessStart(), NextRunCause::ClockChanged);
            EXPECT_EQ(c.RetriesDone, 1) << m.name << ", count " << retryCount;
            EXPECT_EQ(FormatStoreTime(c.NextRun), FormatStoreTime(m.want))
                << m.name << ", count " << retryCount;
        }
        // The retry then runs and fails again: now it is counted.
        r = ComputeNextRun(in, now + 40, ProcessStart());
        EXPECT_EQ(r.RetriesDone, retryCount == 2 ? 2 : 0) << retryCount;
    }
}

// Only the end of a run makes a retry. Looking at a failed job again for
// another reason (the clock was set, another process changed the job) keeps
// a pending retry where it is and makes none for a failure whose retries
// were used up: that made a failed job run again at once.
TEST(NextRun, OnlyTheEndOfARunMakesARetry) {
    const StoreTime now = T(2024, 6, 3, 10, 0);
    for (NextRunCause cause : {NextRunCause::ClockChanged, NextRunCause::Changed}) {
        NextRunInput usedUp{.SchedType = 1,
                            .LastRun = now - 5,
                            .NextRun = kNeverTime,
                            .LastStat = 1,
                            .RetryCount = 2,
                            .RetryDelay = 0};
        NextRunResult r = ComputeNextRun(usedUp, now, ProcessStart(), cause);
        EXPECT_EQ(r.NextRun, kNeverTime);
        EXPECT_EQ(r.RetriesDone, 0);
        NextRunInput pending = usedUp;
        pending.RetriesDone = 1;
        pending.RetryDelay = 30;
        pending.NextRun = now + 20;
        r = ComputeNextRun(pending, now, ProcessStart(), cause);
        EXPECT_EQ(r.NextRun, now + 20);
        EXPECT_EQ(r.RetriesDone, 1);
    }
    NextRunInput ended{.SchedType = 1, .LastRun = now - 5, .LastStat = 1, .RetryCount = 2};
    NextRunResult r = ComputeNextRun(ended, now, ProcessStart());
    EXPECT_EQ(r.NextRun, now);
    EXPECT_EQ(r.RetriesDone, 1);
}

TEST(NextRun, RetriesComeFirstAndCountAsSigned16Bit) {
    const StoreTime now = T(2024, 6, 3, 10, 0);
    NextRunInput in{.SchedType = 1, .LastStat = 1, .RetryCount = 2, .RetryDelay = 30};
    NextRunResult r = ComputeNextRun(in, now, ProcessStart());
    EXPECT_EQ(r.NextRun, now + 30);
    EXPECT_EQ(r.RetriesDone, 1);
    in.RetriesDone = r.RetriesDone;
    r = ComputeNextRun(in, now + 40, ProcessStart());
    EXPECT_EQ(r.NextRun, now + 70);
    EXPECT_EQ(r.RetriesDone, 2);
    in.RetriesDone = r.RetriesDone;
    r = ComputeNextRun(in, now + 80, ProcessStart());
    EXPECT_EQ(r.NextRun, kNeverTime) << "third computation applies the schedule";
    EXPECT_EQ(r.RetriesDone, 0);

    struct Signed {
        const char* name;
        uint32_t lastStat, retryCount, retryDelay;
        StoreTime want;
    };
    for (const Signed& c : {
             Signed{"count 0xFFFF is -1: no retry", 1, 0xFFFF, 30, kNeverTime},
             Signed{"only the low 16 bits of the count", 1, 0x10002, 30, now + 30},
             Signed{"delay 0xFFF6 is -10 seconds", 1, 1, 0xFFF6, now - 10},
             Signed{"only the low 16 bits of LastStat", 0x10000, 1, 30, kNeverTime},
         }) {
        NextRunInput x{.SchedType = 1,
                       .LastStat = c.lastStat,
                       .RetryCount = c.retryCount,
                       .RetryDelay = c.retryDelay};
        EXPECT_EQ(ComputeNextRun(x, now, ProcessStart()).NextRun, c.want) << c.name;
    }
}

TEST(NextRun, ClockSetBackPullsLastRunToNow) {
    const StoreTime now = T(2024, 6, 3, 10, 0);
    // Without the correction the "future" last run would count as having
    // run at or after Time, and the job would never run.
    NextRunInput in{.SchedType = 9, .Time = now + 3600, .LastRun = now + 7200};
    NextRunResult r = ComputeNextRun(in, now, ProcessStart());
    EXPECT_TRUE(r.LastRunChanged);
    EXPECT_EQ(r.LastRun, now);
    EXPECT_EQ(r.NextRun, now + 3600);

    in.LastRun = now - 1;
    r = ComputeNextRun(in, now, ProcessStart());
    EXPECT_FALSE(r.LastRunChanged);
    EXPECT_EQ(r.LastRun, now - 1);
}

}  // namespace
