#pragma once
// The next-run computation: turns a job's schedule, its last run and the
// current time into the time the job is next due. A pure function over
// plain values, so the scheduler, the dialogs and the tests can all feed it
// any "now" they like; TJob::ComputeNextRun gathers the inputs under the
// job's lock and writes the results back.
#include <cstdint>

#include "support/StoreTime.h"

namespace zk40 {

// Schedule kinds as stored in a job's SchedType.
enum SchedKind : uint32_t {
    kSchedManually = 1,
    kSchedOnStartup = 2,
    kSchedMonthly = 3,
    kSchedWeekly = 4,
    kSchedDaily = 5,
    kSchedHourly = 6,
    kSchedEvery = 7,
    kSchedYearly = 8,
    kSchedOnce = 9,
};

// A run that was missed is caught up this long after the computation.
constexpr uint32_t kCatchUpDelay = 60;
// An "On Startup" job still runs if the computation comes this soon after
// the process started.
constexpr uint32_t kStartupGrace = 60;

struct NextRunInput {
    uint32_t SchedType = kSchedManually;
    StoreTime Time = 0;   // anchor date and time of the schedule
    uint32_t Hour = 0;    // interval of kind 7
    uint32_t Minute = 0;  // interval of kind 7
    StoreTime LastRun = 0;
    StoreTime NextRun = 0;  // kept as it is for an unknown kind
    uint32_t LastStat = 0;
    uint32_t RetryCount = 0;
    uint32_t RetryDelay = 0;
    int16_t RetriesDone = 0;
    StoreTime StartTime = 0;  // only the time of day is used
    StoreTime StopTime = 0;   // only the time of day is used
    uint32_t Flags = 0;       // weekday exclusion bits 2 (Sunday) .. 8 (Saturday)
};

struct NextRunResult {
    StoreTime NextRun = 0;
    StoreTime LastRun = 0;  // moved back to now when the clock was set back
    int16_t RetriesDone = 0;
    bool LastRunChanged = false;
    // SchedType names no kind this program knows: the job never runs by
    // schedule (NextRun is the never time).
    bool UnknownKind = false;
};

// Why the next run is being worked out. After a run (or a load) a failure
// is turned into a retry and counts one. When the wall clock or its UTC
// offset changed, or the job was edited (here, or by another process and
// read again), nothing has run: a pending retry stays pending and keeps its
// count, and a failure whose retries were used up (or that has none) gets
// no new one.
enum class NextRunCause { Schedule, ClockChanged, Changed };

// weekday 1 = Monday ... 7 = Sunday; anything else is never allowed.
bool IsDayAllowed(uint32_t flags, int weekday);

// processStart is the time the program was started (kind 2 runs only in the
// first minute after it).
NextRunResult ComputeNextRun(const NextRunInput& in, StoreTime now, StoreTime processStart,
                             NextRunCause cause = NextRunCause::Schedule);

}  // namespace zk40
