#pragma once
// JobSettings: everything a user may edit about a job, as a plain value.
//
// The members of TJob are bound values that write through on assignment, so
// an editor that changed them directly would store every keystroke and
// could not cancel. The job properties dialog, the job wizard and the zk40
// command therefore read a JobSettings from the job, let the user change
// the copy, check it with Validate and hand it to jobops::ApplySettings
// (JobOps.h), which writes it in one commit. Nothing here needs Qt.
#include <cstdint>
#include <string>
#include <vector>

#include "support/StoreTime.h"

namespace zk40 {

class TJob;

struct JobSettings {
    std::string Name = "(untitled)";
    uint32_t SchedType = 1;  // SchedKind of jobs/NextRun.h
    // Date and time of day that anchor the schedule: the time of day for
    // daily, weekly, monthly and yearly runs, the minute for hourly ones,
    // the weekday for weekly, the day of the month for monthly, the day and
    // month for yearly, the whole moment for "once".
    StoreTime Time = 0;
    uint32_t Hour = 1;    // interval of "every": hours
    uint32_t Minute = 0;  // and minutes
    // Daily window as seconds since midnight; equal values mean no window,
    // a stop before the start a window across midnight.
    uint32_t WindowStart = 0;
    uint32_t WindowStop = kSecondsPerDay - 1;
    // Flags bits 2 (Sunday) to 8 (Saturday) set for the excluded weekdays.
    uint32_t ExcludedDays = 0;
    bool QuickList = true;
    bool StopOnError = true;
    uint32_t RetryCount = 0;
    uint32_t RetryDelay = 0;  // seconds
    std::string Password;
    bool Enabled = true;

    // weekday 1 = Monday ... 7 = Sunday.
    bool DayExcluded(int weekday) const;
    void SetDayExcluded(int weekday, bool excluded);
    // The Flags number these settings stand for (the other bits of `flags`
    // are kept).
    uint32_t FlagsWith(uint32_t flags) const;

    // Reads the job under its lock.
    static JobSettings FromJob(const TJob& job);

    // "" when the settings can be applied, else a sentence saying what is
    // wrong ("The interval of an \"Every\" job must be at least one
    // minute."). otherNames are the names of the other jobs.
    std::string Validate(const std::vector<std::string>& otherNames = {}) const;

    bool operator==(const JobSettings&) const = default;
};

// Limits the next-run computation can honour: it reads the retry values as
// signed 16-bit numbers.
inline constexpr uint32_t kMaxRetryCount = 32767;
inline constexpr uint32_t kMaxRetryDelay = 32767;
inline constexpr size_t kMaxJobNameBytes = 255;

// The kind names the editing dialogs list ("Manually", "On Startup", ...);
// "" for a code outside 1 to 9.
std::string SchedKindName(uint32_t kind);
// The short lower-case words the command line takes ("manually", "startup",
// "monthly", "weekly", "daily", "hourly", "every", "yearly", "once"); 0 when
// the word names no kind.
uint32_t SchedKindFromWord(const std::string& word);
std::string SchedKindWord(uint32_t kind);

// The schedule in words, as a person would say it: "every 0:05, Mon–Fri
// 08:00–18:00", "daily at 02:30, not Sat, Sun", "weekly on Monday at 09:00".
std::string DescribeSchedule(const JobSettings& s);
// The allowed weekdays in short form: "" when every day is allowed,
// "Mon–Fri" for a run of days, else a list "Mon, Wed, Fri".
std::string DescribeDays(uint32_t excludedDays);
// Parses "mon-fri", "mon,wed,fri", "sat-sun", "all" (case-insensitive) into
// excluded-day bits; false for anything else.
bool ParseAllowedDays(const std::string& text, uint32_t* excludedDays);
// "HH:MM" or "HH:MM:SS" into seconds since midnight.
bool ParseTimeOfDay(const std::string& text, uint32_t* seconds);
std::string FormatTimeOfDay(uint32_t seconds, bool withSeconds = false);

}  // namespace zk40
