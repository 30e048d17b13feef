#include "jobs/NextRun.h"

#include <numeric>

namespace zk40 {

namespace {

constexpr uint32_t kHour = 3600;
constexpr uint32_t kWeek = 7 * kSecondsPerDay;
// Bits 2..8 of Flags: one per weekday. With all of them set nothing that
// honours weekdays can ever run.
constexpr uint32_t kAllWeekdayBits = 0x1FC;
// The 29th, 30th and 31st come back within a few months and 29 February
// within eight years; these bounds only stop a search that cannot succeed.
constexpr int kMaxMonthSearch = 12 * 8 + 1;
constexpr int kMaxYearSearch = 8;

// Hour and minute of a time, with the seconds dropped.
uint32_t HourMinuteOf(StoreTime t) {
    uint32_t s = SecondsOfDay(t);
    return s - s % 60;
}

// A day and a time of day as a store time; days before the range are
// pinned to its start, and times at or past the never time (29 February
// 2040, say) are the never time: they cannot come.
StoreTime MakeTime(int64_t day, uint32_t secondsOfDay) {
    int64_t s = day * kSecondsPerDay + secondsOfDay;
    if (s < 0) return 0;
    if (s >= kNeverTime) return kNeverTime;
    return static_cast<StoreTime>(s);
}

bool DayAllowed(uint32_t flags, int64_t day) { return IsDayAllowed(flags, WeekdayOfDay(day)); }

// The daily window of kinds 2, 6 and 7 on whatever day t falls. A window
// whose stop comes before its start runs overnight; equal ends mean there
// is no window at all.
bool InWindow(StoreTime t, uint32_t winStart, uint32_t winStop) {
    uint32_t tod = SecondsOfDay(t);
    if (winStart < winStop) return !(tod < winStart || tod > winStop);
    if (winStop < winStart) return !(tod < winStart && tod > winStop);
    return true;
}

// How many positions in the week a search that keeps adding `step` can
// reach before it meets a position it has already tried. Allowed weekdays
// and the window repeat every week, so once they are all tried without a
// hit, no later candidate can hit either.
uint32_t DistinctWeekPositions(uint32_t step) {
    uint32_t r = step % kWeek;
    if (r == 0) return 1;
    return kWeek / std::gcd(r, kWeek);
}

// Walks cand forward with step (kind 6: one hour; kind 7: the interval with
// the seconds dropped) until it falls on an allowed weekday inside the
// daily window. False when no such time can come.
bool SearchForward(StoreTime& cand, uint32_t interval, const NextRunInput& in) {
    const uint32_t winStart = SecondsOfDay(in.StartTime);
    const uint32_t winStop = SecondsOfDay(in.StopTime);
    // After the first step every candidate sits on a whole minute, so the
    // walk is a plain shift by the interval less its odd seconds.
    const uint32_t limit = DistinctWeekPositions(interval - interval % 60) + 2;
    for (uint32_t tries = 0; tries <= limit; ++tries) {
        if (DayAllowed(in.Flags, DayOf(cand)) && InWindow(cand, winStart, winStop)) return true;
        StoreTime next = cand + interval - cand % 60;
        // No progress (an interval of nothing) or past the end of time.
        if (next <= cand) return false;
        cand = next;
    }
    return false;
}

// The first moment at or after t on an allowed weekday inside the daily
// window; never when there is none within a week and a day.
StoreTime FirstAllowedFrom(StoreTime t, const NextRunInput& in) {
    const uint32_t winStart = SecondsOfDay(in.StartTime);
    const uint32_t winStop = SecondsOfDay(in.StopTime);
    // Each day takes at most two steps (to the window's opening, then to
    // the next day), and at most six days in a row can be excluded.
    for (int step = 0; step < 2 * 8 + 2; ++step) {
        if (DayAllowed(in.Flags, DayOf(t))) {
            if (InWindow(t, winStart, winStop)) return t;
            // Before today's opening (for a window over midnight: in the
            // gap between its close and its opening).
            if (SecondsOfDay(t) < winStart) {
                t = StartOfDay(t) + winStart;
                continue;
            }
        }
        const StoreTime next = StartOfDay(t) + kSecondsPerDay;
        if (next < t) return kNeverTime;
        t = next;
    }
    return kNeverTime;
}

// A missed run of kinds 6 and 7 is made up a minute from now, but not on an
// excluded weekday or outside the window: then at the first moment after
// that the job's days and window allow.
StoreTime CatchUp(const NextRunInput& in, StoreTime now) {
    const StoreTime soon = now + kCatchUpDelay;
    if (soon < now) return kNeverTime;
    return FirstAllowedFrom(soon, in);
}

StoreTime Monthly(const NextRunInput& in, StoreTime now) {
    const CivilTime anchor = ToCivil(in.Time);
    const uint32_t hm = HourMinuteOf(in.Time);
    const CivilTime today = ToCivil(now);
    int year = today.year, month = today.month;
    auto previous = [&] {
        if (--month == 0) month = 12, --year;
    };
    auto next = [&] {
        if (++month == 13) month = 1, ++year;
    };
    // The latest occurrence at or before now. A month without the day (the
    // 31st in April) has no occurrence, so the search goes on to an earlier
    // month, as stepping back a day at a time would.
    bool found = false;
    StoreTime cand = 0;
    if (IsValidDate(year, month, anchor.day)) {
        cand = MakeTime(DayNumber(year, month, anchor.day), hm);
        found = !(now < cand);
    }
    for (int i = 0; !found && i < kMaxMonthSearch; ++i) {
        previous();
        if (IsValidDate(year, month, anchor.day)) {
            cand = MakeTime(DayNumber(year, month, anchor.day), hm);
            found = true;
        }
    }
    if (!found) return kNeverTime;
    if (in.LastRun < cand) return now + kCatchUpDelay;
    for (int i = 0; i < kMaxMonthSearch; ++i) {
        next();
        if (IsValidDate(year, month, anchor.day))
            return MakeTime(DayNumber(year, month, anchor.day), hm);
    }
    return kNeverTime;
}

StoreTime Weekly(const NextRunInput& in, StoreTime now) {
    const uint32_t hm = HourMinuteOf(in.Time);
    const int wanted = Weekday(in.Time);
    int64_t date = DayOf(now);
    date += (wanted - WeekdayOfDay(date) + 7) % 7;
    StoreTime cand = MakeTime(date, hm);
    if (now < cand) {
        date -= 7;
        cand = MakeTime(date, hm);
    }
    if (in.LastRun < cand) return now + kCatchUpDelay;
    return MakeTime(date + 7, hm);
}

StoreTime Daily(const NextRunInput& in, StoreTime now) {
    const uint32_t hm = HourMinuteOf(in.Time);
    const int64_t today = DayOf(now);
    int64_t date = today;
    while (!DayAllowed(in.Flags, date)) ++date;
    StoreTime cand = MakeTime(date, hm);
    // Today's time has come (or is this very second). A run that began at
    // it and ended within the same second has served it: it must not be
    // found due again.
    if (date == today && !(now < cand)) {
        if (in.LastRun < cand) return cand < now ? now + kCatchUpDelay : cand;
        ++date;
    }
    while (!DayAllowed(in.Flags, date)) ++date;
    return MakeTime(date, hm);
}

StoreTime Hourly(const NextRunInput& in, StoreTime now) {
    const uint32_t minute = SecondsOfDay(in.Time) / 60 % 60;
    StoreTime cand = StartOfDay(now) + SecondsOfDay(now) / kHour * kHour + minute * 60;
    if (now < cand) cand -= kHour;
    if (in.LastRun < cand) return CatchUp(in, now);
    StoreTime next = cand + kHour;
    if (next < cand) return kNeverTime;
    cand = next;
    return SearchForward(cand, kHour, in) ? cand : kNeverTime;
}

StoreTime Every(const NextRunInput& in, StoreTime now) {
    const uint32_t interval = in.Hour * kHour + in.Minute * 60;
    StoreTime cand = in.LastRun + interval - in.LastRun % 60;
    if (cand < now) return CatchUp(in, now);
    return SearchForward(cand, interval, in) ? cand : kNeverTime;
}

StoreTime Yearly(const NextRunInput& in, StoreTime now) {
    const CivilTime anchor = ToCivil(in.Time);
    const uint32_t hm = HourMinuteOf(in.Time);
    int year = ToCivil(now).year;
    auto at = [&](int y) { return MakeTime(DayNumber(y, anchor.month, anchor.day), hm); };
    // As for months: a year without 29 February has no occurrence.
    bool found = false;
    StoreTime cand = 0;
    if (IsValidDate(year, anchor.month, anchor.day)) {
        cand = at(year);
        found = !(now < cand);
    }
    for (int i = 0; !found && i < kMaxYearSearch; ++i) {
        --year;
        if (IsValidDate(year, anchor.month, anchor.day)) {
            cand = at(year);
            found = true;
        }
    }
    if (!found) return kNeverTime;
    if (in.LastRun < cand) return now + kCatchUpDelay;
    for (int i = 0; i < kMaxYearSearch; ++i) {
        ++year;
        if (IsValidDate(year, anchor.month, anchor.day)) return at(year);
    }
    return kNeverTime;
}

StoreTime OnStartup(const NextRunInput& in, StoreTime now, StoreTime processStart) {
    if (!(in.LastRun < processStart)) return kNeverTime;
    // Unsigned on purpose: a clock set back before the start is "long ago".
    if (now - processStart > kStartupGrace) return kNeverTime;
    if (!DayAllowed(in.Flags, DayOf(now))) return kNeverTime;
    return InWindow(now, SecondsOfDay(in.StartTime), SecondsOfDay(in.StopTime)) ? now : kNeverTime;
}

}  // namespace

bool IsDayAllowed(uint32_t flags, int weekday) {
    if (weekday < 1 || weekday > 7) return false;
    // Sunday is bit 2, Monday bit 3 ... Saturday bit 8.
    int bit = weekday == 7 ? 2 : weekday + 2;
    return ((flags >> bit) & 1u) == 0;
}

NextRunResult ComputeNextRun(const NextRunInput& in, StoreTime now, StoreTime processStart,
                             NextRunCause cause) {
    NextRunResult r;
    r.NextRun = in.NextRun;
    r.LastRun = in.LastRun;
    r.RetriesDone = in.RetriesDone;

    const bool failed = static_cast<int16_t>(in.LastStat & 0xFFFF) != 0;
    const StoreTime retryAt =
        now + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(in.RetryDelay)));
    // The clock moved (or the job was read again) while a retry waited (the
    // count goes up when a retry is scheduled, and back to 0 once one is
    // not): the retry has not run, so it keeps its place in the count and
    // comes within its delay.
    const bool afterRun = cause == NextRunCause::Schedule;
    if (!afterRun && failed && in.RetriesDone > 0) {
        const bool stillAhead = in.NextRun > now && in.NextRun <= retryAt;
        r.NextRun = stillAhead ? in.NextRun : retryAt;
        return r;
    }

    // A failed run is retried first, whatever the schedule says. Only the
    // end of a run makes a retry: a failure looked at again for another
    // reason has had its retries already.
    if (afterRun && failed && in.RetriesDone < static_cast<int16_t>(in.RetryCount)) {
        r.RetriesDone = static_cast<int16_t>(in.RetriesDone + 1);
        r.NextRun = retryAt;
        return r;
    }
    r.RetriesDone = 0;

    NextRunInput job = in;
    if (job.LastRun > now) {
        // The clock was set back: a last run "in the future" would hold the
        // job off until the clock catches up with it.
        job.LastRun = now;
        r.LastRun = now;
        r.LastRunChanged = true;
    }

    const bool honoursWeekdays = job.SchedType == kSchedOnStartup || job.SchedType == kSchedDaily ||
                                 job.SchedType == kSchedHourly || job.SchedType == kSchedEvery;
    if (honoursWeekdays && (job.Flags & kAllWeekdayBits) == kAllWeekdayBits) {
        // Every day excluded: the job can never run, not even to catch up.
        r.NextRun = kNeverTime;
        return r;
    }

    switch (job.SchedType) {
        case kSchedManually:
            r.NextRun = kNeverTime;
            break;
        case kSchedOnStartup:
            r.NextRun = OnStartup(job, now, processStart);
            break;
        case kSchedMonthly:
            r.NextRun = Monthly(job, now);
            break;
        case kSchedWeekly:
            r.NextRun = Weekly(job, now);
            break;
        case kSchedDaily:
            r.NextRun = Daily(job, now);
            break;
        case kSchedHourly:
            r.NextRun = Hourly(job, now);
            break;
        case kSchedEvery:
            r.NextRun = Every(job, now);
            break;
        case kSchedYearly:
            r.NextRun = Yearly(job, now);
            break;
        case kSchedOnce:
            r.NextRun = job.LastRun < job.Time ? job.Time : kNeverTime;
            break;
        default:
            // Left as it was, a NextRun in the past would start the job at
            // every pass.
            r.NextRun = kNeverTime;
            r.UnknownKind = true;
            break;
    }
    return r;
}

}  // namespace zk40
