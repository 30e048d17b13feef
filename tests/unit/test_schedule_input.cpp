// Dates and times a person chose, turned into the anchor of a schedule: the
// one rule the job wizard, the job form and the zk40 options share, and the
// zk40 options on top of it.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "jobs/NextRun.h"
#include "jobs/ScheduleInput.h"

using namespace zk40;

namespace {

std::string Text(StoreTime t) { return FormatStoreTime(t); }
std::string At(int y, int mo, int d, int h = 0, int mi = 0) {
    return Text(ToStoreTime(y, mo, d, h, mi, 0));
}

// A Wednesday.
StoreTime Now() { return ToStoreTime(2026, 12, 9, 9, 30, 0); }

struct AnchorCase {
    const char* name;
    ScheduleChoice choice;
    StoreTime now;
    std::string stored;
    int takenYear;
    int missing[3];  // year, month, day of a date that does not exist
};

void RunAnchorCases(const std::vector<AnchorCase>& cases) {
    for (const AnchorCase& c : cases) {
        const ScheduleAnchor a = AnchorOfChoice(c.choice, c.now);
        EXPECT_EQ(Text(a.time), c.stored) << c.name;
        EXPECT_EQ(a.takenYear, c.takenYear) << c.name;
        EXPECT_EQ(a.missingYear, c.missing[0]) << c.name;
        EXPECT_EQ(a.missingMonth, c.missing[1]) << c.name;
        EXPECT_EQ(a.missingDay, c.missing[2]) << c.name;
    }
}

TEST(AnchorOfChoice, OnceTakesTheMonthsLastDayAndThisYear) {
    const StoreTime now = Now();
    RunAnchorCases({
        {"a real date", {kSchedOnce, 2027, 3, 4, 0, 0, 30}, now, At(2027, 3, 4, 0, 30), 0, {}},
        {"31 April", {kSchedOnce, 2027, 4, 31, 0, 8, 0}, now, At(2027, 4, 30, 8), 0, {2027, 4, 31}},
        {"29 February of a common year",
         {kSchedOnce, 2027, 2, 29, 0, 8, 0},
         now,
         At(2027, 2, 28, 8),
         0,
         {2027, 2, 29}},
        {"30 February of a leap year",
         {kSchedOnce, 2028, 2, 30, 0, 8, 0},
         now,
         At(2028, 2, 29, 8),
         0,
         {2028, 2, 30}},
        {"no year", {kSchedOnce, 0, 6, 3, 0, 8, 0}, now, At(2026, 6, 3, 8), 2026, {}},
        {"no year, and this year lacks the day",
         {kSchedOnce, 0, 2, 29, 0, 8, 0},
         now,
         At(2026, 2, 28, 8),
         2026,
         {2026, 2, 29}},
        {"nothing chosen but the time",
         {kSchedOnce, 0, 0, 0, 0, 18, 15},
         now,
         At(2026, 12, 9, 18, 15),
         2026,
         {}},
    });
}

TEST(AnchorOfChoice, MonthlyMovesOnToTheNextMonthWithTheDay) {
    const StoreTime now = Now();
    RunAnchorCases({
        {"day 15 this month",
         {kSchedMonthly, 0, 0, 15, 0, 12, 0},
         now,
         At(2026, 12, 15, 12),
         0,
         {}},
        {"day 31 in November",
         {kSchedMonthly, 2026, 11, 31, 0, 8, 0},
         now,
         At(2026, 12, 31, 8),
         0,
         {2026, 11, 31}},
        {"day 31 chosen in November, no month given",
         {kSchedMonthly, 0, 0, 31, 0, 8, 0},
         ToStoreTime(2026, 11, 20, 10, 0, 0),
         At(2026, 12, 31, 8),
         0,
         {2026, 11, 31}},
        {"day 30 in February skips to March",
         {kSchedMonthly, 2027, 2, 30, 0, 8, 0},
         now,
         At(2027, 3, 30, 8),
         0,
         {2027, 2, 30}},
        {"day 29 in February of a leap year",
         {kSchedMonthly, 2028, 2, 29, 0, 8, 0},
         now,
         At(2028, 2, 29, 8),
         0,
         {}},
    });
}

TEST(AnchorOfChoice, YearlyKeepsTheDayItCanRunOnEveryYear) {
    const StoreTime now = Now();
    RunAnchorCases({
        {"4 July", {kSchedYearly, 0, 7, 4, 0, 9, 0}, now, At(2026, 7, 4, 9), 0, {}},
        {"29 February waits for a leap year",
         {kSchedYearly, 0, 2, 29, 0, 9, 0},
         now,
         At(2028, 2, 29, 9),
         0,
         {2026, 2, 29}},
        {"29 February of a leap year",
         {kSchedYearly, 2028, 2, 29, 0, 9, 0},
         now,
         At(2028, 2, 29, 9),
         0,
         {}},
        {"31 April", {kSchedYearly, 0, 4, 31, 0, 9, 0}, now, At(2026, 4, 30, 9), 0, {2026, 4, 31}},
        // 29 February would run the job in leap years only.
        {"30 February of a leap year",
         {kSchedYearly, 2028, 2, 30, 0, 9, 0},
         now,
         At(2028, 2, 28, 9),
         0,
         {2028, 2, 30}},
    });
}

TEST(AnchorOfChoice, WeeklyFindsTheFirstDayWithTheWeekdayFromToday) {
    // A Saturday, and the last day of a year (a Thursday).
    const StoreTime saturday = ToStoreTime(2026, 12, 12, 10, 0, 0);
    const StoreTime yearEnd = ToStoreTime(2026, 12, 31, 10, 0, 0);
    RunAnchorCases({
        {"Saturday on a Saturday, earlier in the day",
         {kSchedWeekly, 0, 0, 0, 6, 6, 0},
         saturday,
         At(2026, 12, 12, 6),
         0,
         {}},
        {"Sunday on a Saturday",
         {kSchedWeekly, 0, 0, 0, 7, 6, 0},
         saturday,
         At(2026, 12, 13, 6),
         0,
         {}},
        {"Monday on a Saturday",
         {kSchedWeekly, 0, 0, 0, 1, 6, 0},
         saturday,
         At(2026, 12, 14, 6),
         0,
         {}},
        {"Friday on a Saturday",
         {kSchedWeekly, 0, 0, 0, 5, 6, 0},
         saturday,
         At(2026, 12, 18, 6),
         0,
         {}},
        {"Monday at the year's end",
         {kSchedWeekly, 0, 0, 0, 1, 6, 0},
         yearEnd,
         At(2027, 1, 4, 6),
         0,
         {}},
        {"a weekday outweighs a date",
         {kSchedWeekly, 2030, 5, 5, 1, 6, 0},
         saturday,
         At(2026, 12, 14, 6),
         0,
         {}},
        {"no weekday: the date",
         {kSchedWeekly, 2027, 1, 6, 0, 6, 0},
         saturday,
         At(2027, 1, 6, 6),
         0,
         {}},
        {"nothing chosen: today",
         {kSchedWeekly, 0, 0, 0, 0, 6, 0},
         saturday,
         At(2026, 12, 12, 6),
         0,
         {}},
    });
    for (int want = 1; want <= 7; ++want)
        EXPECT_EQ(Weekday(AnchorOfChoice({kSchedWeekly, 0, 0, 0, want, 0, 0}, yearEnd).time), want);
}

TEST(AnchorOfChoice, DailyAndHourlyStartToday) {
    RunAnchorCases({
        {"daily", {kSchedDaily, 0, 0, 0, 0, 14, 5}, Now(), At(2026, 12, 9, 14, 5), 0, {}},
        {"hourly", {kSchedHourly, 0, 0, 0, 0, 0, 20}, Now(), At(2026, 12, 9, 0, 20), 0, {}},
    });
}

// ---- the zk40 options ----

ScheduleInput Options(std::map<std::string, std::string> options) { return {std::move(options)}; }

JobSettings Existing(uint32_t kind, StoreTime time) {
    JobSettings s;
    s.SchedType = kind;
    s.Time = time;
    return s;
}

TEST(ApplyScheduleInput, AtAndOnGiveTheAnchorTheDialogsWouldGive) {
    struct Case {
        const char* name;
        JobSettings before;
        std::map<std::string, std::string> options;
        std::string stored;
    };
    const JobSettings fresh;
    const Case cases[] = {
        {"once, date and time",
         fresh,
         {{"kind", "once"}, {"at", "2031-05-06 07:08"}},
         At(2031, 5, 6, 7, 8)},
        {"daily, a new job runs from today",
         fresh,
         {{"kind", "daily"}, {"at", "03:00"}},
         At(2026, 12, 9, 3)},
        {"weekly on Sunday, chosen on a Wednesday",
         fresh,
         {{"kind", "weekly"}, {"on", "sun"}, {"at", "06:30"}},
         At(2026, 12, 13, 6, 30)},
        {"weekly on the day's own weekday is today",
         fresh,
         {{"kind", "weekly"}, {"on", "wed"}, {"at", "06:30"}},
         At(2026, 12, 9, 6, 30)},
        {"monthly on the 31st",
         fresh,
         {{"kind", "monthly"}, {"on", "31"}, {"at", "23:59"}},
         At(2026, 12, 31, 23, 59)},
        {"yearly on 29 February",
         fresh,
         {{"kind", "yearly"}, {"on", "02-29"}, {"at", "09:00"}},
         At(2028, 2, 29, 9)},
        {"a time alone keeps the job's date",
         Existing(kSchedOnce, ToStoreTime(2027, 3, 4, 8, 0, 0)),
         {{"at", "10:15"}},
         At(2027, 3, 4, 10, 15)},
        {"a day alone keeps the job's time; its month lacks the day",
         Existing(kSchedMonthly, ToStoreTime(2026, 11, 15, 8, 45, 0)),
         {{"on", "31"}},
         At(2026, 12, 31, 8, 45)},
        {"a month and day alone keep the job's year and time",
         Existing(kSchedYearly, ToStoreTime(2027, 7, 4, 9, 0, 0)),
         {{"on", "02-29"}},
         At(2028, 2, 29, 9)},
        {"the date of --at, the day of --on",
         fresh,
         {{"kind", "monthly"}, {"at", "2027-04-10 07:00"}, {"on", "31"}},
         At(2027, 5, 31, 7)},
    };
    for (const Case& c : cases) {
        JobSettings s = c.before;
        ASSERT_EQ(ApplyScheduleInput(Options(c.options), s, Now()), "") << c.name;
        EXPECT_EQ(Text(s.Time), c.stored) << c.name;
    }
    // Without --at and --on the anchor is left alone.
    JobSettings s = Existing(kSchedMonthly, ToStoreTime(2026, 11, 15, 8, 45, 0));
    ASSERT_EQ(ApplyScheduleInput(Options({{"retry", "2"}}), s, Now()), "");
    EXPECT_EQ(Text(s.Time), At(2026, 11, 15, 8, 45));
}

TEST(ApplyScheduleInput, OptionErrorsNameTheOptionAndWhatItTakes) {
    const std::pair<std::map<std::string, std::string>, std::string> cases[] = {
        {{{"kind", "fortnightly"}}, "unknown kind \"fortnightly\" (see --help)"},
        {{{"kind", "daily"}, {"at", "25:00"}},
         "--at takes HH:MM or 'YYYY-MM-DD HH:MM', not \"25:00\""},
        // A typed date no calendar has is a slip, not a choice to repair.
        {{{"kind", "once"}, {"at", "2027-04-31 10:00"}},
         "--at takes HH:MM or 'YYYY-MM-DD HH:MM', not \"2027-04-31 10:00\""},
        {{{"kind", "weekly"}, {"on", "mon,tue"}},
         "--on for a weekly job takes one weekday (mon...sun), not \"mon,tue\""},
        {{{"kind", "weekly"}, {"on", "funday"}},
         "--on for a weekly job takes one weekday (mon...sun), not \"funday\""},
        {{{"kind", "monthly"}, {"on", "0"}},
         "--on for a monthly job takes a day from 1 to 31, not \"0\""},
        {{{"kind", "monthly"}, {"on", "32"}},
         "--on for a monthly job takes a day from 1 to 31, not \"32\""},
        {{{"kind", "yearly"}, {"on", "02-30"}}, "--on for a yearly job takes MM-DD, not \"02-30\""},
        {{{"kind", "yearly"}, {"on", "04-31"}}, "--on for a yearly job takes MM-DD, not \"04-31\""},
        {{{"kind", "yearly"}, {"on", "2-29x"}}, "--on for a yearly job takes MM-DD, not \"2-29x\""},
        {{{"kind", "daily"}, {"on", "mon"}}, "--on is for weekly, monthly and yearly jobs"},
        {{{"interval", "0:60"}}, "--interval takes H:MM (such as 0:05 or 2:30), not \"0:60\""},
        {{{"window", "8-18"}}, "--window takes HH:MM-HH:MM, not \"8-18\""},
        {{{"weekdays", "funday"}},
         "--weekdays takes days such as mon-fri, sat,sun or all, not \"funday\""},
        {{{"retry", "many"}}, "--retry must be a whole number from 0 to 32767, not \"many\""},
        {{{"retry-delay", "-1"}},
         "--retry-delay must be a whole number from 0 to 32767, not \"-1\""},
    };
    for (const auto& [options, error] : cases) {
        JobSettings s;
        EXPECT_EQ(ApplyScheduleInput(Options(options), s, Now()), error) << error;
    }
}

}  // namespace
