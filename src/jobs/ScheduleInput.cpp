#include "jobs/ScheduleInput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "jobs/NextRun.h"

namespace zk40 {

namespace {

const char* const kOptionNames[] = {"kind",        "at",        "on",       "interval",
                                    "window",      "no-window", "weekdays", "retry",
                                    "retry-delay", "name",      "disabled"};

// A whole number from 0 to max; false for anything else.
bool ParseCount(const std::string& text, uint32_t max, uint32_t* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text.c_str(), &end, 10);
    if (*end || errno || v > max) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

std::string CountError(const char* what, uint32_t max, const std::string& text) {
    return std::string(what) + " must be a whole number from 0 to " + std::to_string(max) +
           ", not \"" + text + "\"";
}

}  // namespace

bool IsScheduleOption(const std::string& name) {
    for (const char* n : kOptionNames)
        if (name == n) return true;
    return false;
}

std::vector<std::string> ScheduleInput::ToFields() const {
    std::vector<std::string> out;
    for (const auto& [name, value] : options) out.push_back(name + "=" + value);
    return out;
}

bool ScheduleInput::FromFields(const std::vector<std::string>& fields) {
    options.clear();
    for (const std::string& f : fields) {
        size_t eq = f.find('=');
        if (eq == std::string::npos || !IsScheduleOption(f.substr(0, eq))) return false;
        options[f.substr(0, eq)] = f.substr(eq + 1);
    }
    return true;
}

ScheduleAnchor AnchorOfChoice(const ScheduleChoice& c, StoreTime now) {
    const CivilTime today = ToCivil(now);
    ScheduleAnchor out;
    int year = c.year > 0 ? c.year : today.year;
    int month = c.month >= 1 && c.month <= 12 ? c.month : today.month;
    int day = c.day >= 1 ? std::min(c.day, 31) : today.day;
    // Only a "once" job runs in the year of its date; the others merely
    // keep their date somewhere.
    if (c.year <= 0 && c.kind == kSchedOnce) out.takenYear = year;
    if (c.kind == kSchedWeekly && c.weekday >= 1 && c.weekday <= 7) {
        int64_t d = DayOf(now);
        while (WeekdayOfDay(d) != c.weekday) ++d;
        DateOfDayNumber(d, year, month, day);
    } else if (!IsValidDate(year, month, day)) {
        out.missingYear = year;
        out.missingMonth = month;
        out.missingDay = day;
        if (c.kind == kSchedMonthly) {
            while (!IsValidDate(year, month, day))
                if (++month > 12) month = 1, ++year;
        } else if (c.kind == kSchedYearly && month == 2 && day == 29) {
            while (!IsLeapYear(year)) ++year;
        } else if (c.kind == kSchedYearly) {
            // 29 February would make 30 February a job of leap years only.
            day = month == 2 ? 28 : DaysInMonth(year, month);
        } else {
            day = DaysInMonth(year, month);
        }
    }
    out.time =
        ToStoreTime(year, month, day, std::clamp(c.hour, 0, 23), std::clamp(c.minute, 0, 59));
    return out;
}

std::string ApplyScheduleInput(const ScheduleInput& a, JobSettings& s, StoreTime now) {
    if (a.Has("name")) s.Name = a.Get("name");
    if (a.Has("kind")) {
        uint32_t k = SchedKindFromWord(a.Get("kind"));
        if (!k) return "unknown kind \"" + a.Get("kind") + "\" (see --help)";
        s.SchedType = k;
    }
    if (a.Has("at") || a.Has("on")) {
        // What the options leave open stays as the job has it (a new job:
        // today, at midnight).
        const CivilTime was = ToCivil(s.Time ? s.Time : StartOfDay(now));
        ScheduleChoice c{s.SchedType, was.year, was.month, was.day, 0, was.hour, was.minute};
        if (a.Has("at")) {
            std::string at = a.Get("at");
            StoreTime full;
            uint32_t tod;
            if (ParseTimeOfDay(at, &tod)) {
                c.hour = static_cast<int>(tod / 3600);
                c.minute = static_cast<int>(tod / 60 % 60);
            } else if (ParseStoreTime(at, full)) {
                const CivilTime f = ToCivil(full);
                c = {s.SchedType, f.year, f.month, f.day, 0, f.hour, f.minute};
            } else {
                return "--at takes HH:MM or 'YYYY-MM-DD HH:MM', not \"" + at + "\"";
            }
        }
        if (a.Has("on")) {
            std::string on = a.Get("on");
            if (s.SchedType == kSchedWeekly) {
                uint32_t excluded;
                // One weekday: the only day the list allows.
                if (!ParseAllowedDays(on, &excluded) || on.find_first_of(",-") != std::string::npos)
                    return "--on for a weekly job takes one weekday (mon...sun), not \"" + on +
                           "\"";
                JobSettings probe;
                probe.ExcludedDays = excluded;
                for (int d = 1; d <= 7; ++d)
                    if (!probe.DayExcluded(d)) c.weekday = d;
            } else if (s.SchedType == kSchedMonthly) {
                uint32_t day = 0;
                if (!ParseCount(on, 31, &day) || day < 1)
                    return "--on for a monthly job takes a day from 1 to 31, not \"" + on + "\"";
                c.day = static_cast<int>(day);
            } else if (s.SchedType == kSchedYearly) {
                int m = 0, d = 0;
                char tail;
                // Typed, a day no year has is a slip rather than a choice;
                // 02-29 is taken (a leap year has it).
                if (sscanf(on.c_str(), "%d-%d%c", &m, &d, &tail) != 2 || !IsValidDate(2024, m, d))
                    return "--on for a yearly job takes MM-DD, not \"" + on + "\"";
                c.month = m;
                c.day = d;
            } else {
                return "--on is for weekly, monthly and yearly jobs";
            }
        }
        s.Time = AnchorOfChoice(c, now).time;
    }
    if (a.Has("interval")) {
        unsigned h = 0, m = 0;
        char tail;
        std::string iv = a.Get("interval");
        if (sscanf(iv.c_str(), "%u:%u%c", &h, &m, &tail) != 2 || m > 59)
            return "--interval takes H:MM (such as 0:05 or 2:30), not \"" + iv + "\"";
        s.Hour = h;
        s.Minute = m;
    }
    if (a.Has("window")) {
        std::string w = a.Get("window");
        size_t dash = w.find('-');
        uint32_t from, to;
        if (dash == std::string::npos || !ParseTimeOfDay(w.substr(0, dash), &from) ||
            !ParseTimeOfDay(w.substr(dash + 1), &to))
            return "--window takes HH:MM-HH:MM, not \"" + w + "\"";
        s.WindowStart = from;
        s.WindowStop = to;
    }
    if (a.Has("no-window")) {
        s.WindowStart = 0;
        s.WindowStop = kSecondsPerDay - 1;
    }
    if (a.Has("weekdays") && !ParseAllowedDays(a.Get("weekdays"), &s.ExcludedDays))
        return "--weekdays takes days such as mon-fri, sat,sun or all, not \"" + a.Get("weekdays") +
               "\"";
    if (a.Has("retry") && !ParseCount(a.Get("retry"), kMaxRetryCount, &s.RetryCount))
        return CountError("--retry", kMaxRetryCount, a.Get("retry"));
    if (a.Has("retry-delay") && !ParseCount(a.Get("retry-delay"), kMaxRetryDelay, &s.RetryDelay))
        return CountError("--retry-delay", kMaxRetryDelay, a.Get("retry-delay"));
    if (a.Has("disabled")) s.Enabled = false;
    return {};
}

}  // namespace zk40
