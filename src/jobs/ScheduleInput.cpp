#include "jobs/ScheduleInput.h"

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

std::string ApplyScheduleInput(const ScheduleInput& a, JobSettings& s, StoreTime now) {
    if (a.Has("name")) s.Name = a.Get("name");
    if (a.Has("kind")) {
        uint32_t k = SchedKindFromWord(a.Get("kind"));
        if (!k) return "unknown kind \"" + a.Get("kind") + "\" (see --help)";
        s.SchedType = k;
    }
    CivilTime anchor = ToCivil(s.Time ? s.Time : StartOfDay(now));
    anchor.second = 0;
    if (a.Has("at")) {
        std::string at = a.Get("at");
        StoreTime full;
        uint32_t tod;
        if (ParseTimeOfDay(at, &tod)) {
            if (!s.Time) anchor = ToCivil(StartOfDay(now));
            anchor.hour = static_cast<int>(tod / 3600);
            anchor.minute = static_cast<int>(tod / 60 % 60);
            anchor.second = 0;
        } else if (ParseStoreTime(at, full)) {
            anchor = ToCivil(full);
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
                return "--on for a weekly job takes one weekday (mon...sun), not \"" + on + "\"";
            int want = 0;
            for (int d = 1; d <= 7; ++d) {
                JobSettings probe;
                probe.ExcludedDays = excluded;
                if (!probe.DayExcluded(d)) want = d;
            }
            StoreTime day = StartOfDay(now);
            while (Weekday(day) != want) day += kSecondsPerDay;
            CivilTime c = ToCivil(day);
            anchor.year = c.year;
            anchor.month = c.month;
            anchor.day = c.day;
        } else if (s.SchedType == kSchedMonthly) {
            uint32_t day = 0;
            if (!ParseCount(on, 31, &day) || day < 1)
                return "--on for a monthly job takes a day from 1 to 31, not \"" + on + "\"";
            // A month with 31 days holds every day a user may name.
            anchor.year = 2024;
            anchor.month = 1;
            anchor.day = static_cast<int>(day);
        } else if (s.SchedType == kSchedYearly) {
            int m = 0, d = 0;
            char tail;
            if (sscanf(on.c_str(), "%d-%d%c", &m, &d, &tail) != 2 || !IsValidDate(2024, m, d))
                return "--on for a yearly job takes MM-DD, not \"" + on + "\"";
            // A leap year, so that 02-29 can be named.
            anchor.year = 2024;
            anchor.month = m;
            anchor.day = d;
        } else {
            return "--on is for weekly, monthly and yearly jobs";
        }
    }
    if (a.Has("at") || a.Has("on")) s.Time = ToStoreTime(anchor);
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
