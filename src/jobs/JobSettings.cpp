#include "jobs/JobSettings.h"

#include <strings.h>

#include <cctype>
#include <cstdio>

#include "jobs/Job.h"
#include "jobs/NextRun.h"

namespace zk40 {

namespace {

constexpr uint32_t kAllDaysMask = 0x1FCu;  // bits 2..8
constexpr const char* kDayShort[] = {"", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr const char* kDayLong[] = {"",         "Monday", "Tuesday", "Wednesday",
                                    "Thursday", "Friday", "Saturday", "Sunday"};
constexpr const char* kMonthLong[] = {"",     "January", "February",  "March",
                                      "April", "May",     "June",      "July",
                                      "August", "September", "October", "November",
                                      "December"};
// An en dash: ranges read as ranges, not as minus signs.
constexpr char kDash[] = "\xE2\x80\x93";

uint32_t DayBit(int weekday) { return 1u << (weekday == 7 ? 2 : weekday + 2); }

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

int WeekdayFromWord(const std::string& word) {
    std::string w = Lower(Trim(word));
    if (w.size() < 2) return 0;
    for (int d = 1; d <= 7; ++d)
        if (Lower(kDayLong[d]).compare(0, w.size(), w) == 0) return d;
    // "tues", "thur", "thurs" are prefixes already; nothing else to add.
    return 0;
}

std::string HourMinute(StoreTime t) {
    CivilTime c = ToCivil(t);
    char buf[16];
    snprintf(buf, sizeof buf, "%02d:%02d", c.hour, c.minute);
    return buf;
}

bool HonoursDays(uint32_t kind) {
    return kind == kSchedOnStartup || kind == kSchedDaily || kind == kSchedHourly ||
           kind == kSchedEvery;
}

bool HonoursWindow(uint32_t kind) {
    return kind == kSchedOnStartup || kind == kSchedHourly || kind == kSchedEvery;
}

}  // namespace

bool JobSettings::DayExcluded(int weekday) const {
    return weekday >= 1 && weekday <= 7 && (ExcludedDays & DayBit(weekday));
}

void JobSettings::SetDayExcluded(int weekday, bool excluded) {
    if (weekday < 1 || weekday > 7) return;
    if (excluded)
        ExcludedDays |= DayBit(weekday);
    else
        ExcludedDays &= ~DayBit(weekday);
}

uint32_t JobSettings::FlagsWith(uint32_t flags) const {
    flags &= ~(kAllDaysMask | 3u);
    return flags | (ExcludedDays & kAllDaysMask) | (QuickList ? 1u : 0u) | (StopOnError ? 2u : 0u);
}

JobSettings JobSettings::FromJob(const TJob& job) {
    JobSettings s;
    TSync::TLock lock(job);
    s.Name = job.Name.Get();
    s.SchedType = job.SchedType;
    s.Time = job.Time;
    s.Hour = job.Hour;
    s.Minute = job.Minute;
    s.WindowStart = SecondsOfDay(job.StartTime);
    s.WindowStop = SecondsOfDay(job.StopTime);
    s.ExcludedDays = job.Flags & kAllDaysMask;
    s.QuickList = job.Flags & 1u;
    s.StopOnError = job.Flags & 2u;
    s.RetryCount = job.RetryCount;
    s.RetryDelay = job.RetryDelay;
    s.Password = job.Password.Get();
    // Enabled() takes the job's lock again; TSync is recursive.
    s.Enabled = job.Enabled();
    return s;
}

std::string JobSettings::Validate(const std::vector<std::string>& otherNames) const {
    if (Trim(Name).empty()) return "A job needs a name.";
    if (Name.size() > kMaxJobNameBytes)
        return "A job name may be at most " + std::to_string(kMaxJobNameBytes) + " bytes long.";
    for (unsigned char c : Name)
        if (c < 0x20 || c == 0x7F) return "A job name cannot hold control characters.";
    for (const std::string& other : otherNames)
        if (other == Name) return "A job named \"" + Name + "\" already exists.";
    if (SchedType < kSchedManually || SchedType > kSchedOnce)
        return "The schedule kind " + std::to_string(SchedType) + " is not one of 1 to 9.";
    if (SchedType == kSchedEvery) {
        if (Minute > 59) return "The minutes of an \"Every\" interval must be 0 to 59.";
        if (Hour == 0 && Minute == 0)
            return "The interval of an \"Every\" job must be at least one minute.";
        // Hour * 3600 must not wrap the 32-bit second count.
        if (Hour > 24 * 366) return "The interval of an \"Every\" job may be at most a year.";
    }
    if (SchedType == kSchedOnce && Time == 0)
        return "A job that runs once needs the date and time to run at.";
    if (HonoursDays(SchedType) && (ExcludedDays & kAllDaysMask) == kAllDaysMask)
        return "Every weekday is excluded, so the job would never run.";
    if (WindowStart >= kSecondsPerDay || WindowStop >= kSecondsPerDay)
        return "The daily window must lie between 00:00 and 23:59:59.";
    if (RetryCount > kMaxRetryCount)
        return "The retry count may be at most " + std::to_string(kMaxRetryCount) + ".";
    if (RetryDelay > kMaxRetryDelay)
        return "The retry delay may be at most " + std::to_string(kMaxRetryDelay) + " seconds.";
    return {};
}

std::string SchedKindName(uint32_t kind) {
    static const char* const names[] = {"",       "Manually", "On Startup", "Monthly", "Weekly",
                                        "Daily",  "Hourly",   "Every",      "Yearly",  "Once"};
    return kind <= 9 ? names[kind] : "";
}

std::string SchedKindWord(uint32_t kind) {
    static const char* const words[] = {"",      "manually", "startup", "monthly", "weekly",
                                        "daily", "hourly",   "every",   "yearly",  "once"};
    return kind <= 9 ? words[kind] : "";
}

uint32_t SchedKindFromWord(const std::string& word) {
    std::string w = Lower(Trim(word));
    if (w == "manual" || w == "on-startup" || w == "onstartup") w = w == "manual" ? "manually" : "startup";
    for (uint32_t k = 1; k <= 9; ++k)
        if (w == SchedKindWord(k)) return k;
    return 0;
}

std::string DescribeDays(uint32_t excludedDays) {
    bool allowed[8] = {};
    int count = 0;
    for (int d = 1; d <= 7; ++d) {
        allowed[d] = !(excludedDays & DayBit(d));
        count += allowed[d];
    }
    if (count == 7) return "";
    if (count == 0) return "no day";
    // A single run of days (Monday to Sunday order) reads best as a range.
    int first = 0, last = 0, runs = 0;
    for (int d = 1; d <= 7; ++d) {
        if (allowed[d] && (d == 1 || !allowed[d - 1])) {
            ++runs;
            first = d;
        }
        if (allowed[d]) last = d;
    }
    if (runs == 1 && last - first >= 2) return std::string(kDayShort[first]) + kDash + kDayShort[last];
    std::string out;
    for (int d = 1; d <= 7; ++d) {
        if (!allowed[d]) continue;
        if (!out.empty()) out += ", ";
        out += kDayShort[d];
    }
    return out;
}

bool ParseAllowedDays(const std::string& text, uint32_t* excludedDays) {
    std::string t = Lower(Trim(text));
    if (t.empty()) return false;
    if (t == "all" || t == "any" || t == "every") {
        *excludedDays = 0;
        return true;
    }
    bool allowed[8] = {};
    size_t pos = 0;
    while (pos <= t.size()) {
        size_t comma = t.find(',', pos);
        std::string part = t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        size_t dash = part.find('-');
        if (dash == std::string::npos) {
            int d = WeekdayFromWord(part);
            if (!d) return false;
            allowed[d] = true;
        } else {
            int a = WeekdayFromWord(part.substr(0, dash));
            int b = WeekdayFromWord(part.substr(dash + 1));
            if (!a || !b) return false;
            // Wraps over the week's end: "sat-mon" is Saturday, Sunday, Monday.
            for (int d = a;; d = d % 7 + 1) {
                allowed[d] = true;
                if (d == b) break;
            }
        }
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    uint32_t mask = 0;
    for (int d = 1; d <= 7; ++d)
        if (!allowed[d]) mask |= DayBit(d);
    *excludedDays = mask;
    return true;
}

bool ParseTimeOfDay(const std::string& text, uint32_t* seconds) {
    int h = -1, m = -1, s = 0;
    char tail = 0;
    int n = sscanf(Trim(text).c_str(), "%d:%d:%d%c", &h, &m, &s, &tail);
    if (n == 2) s = 0;
    if ((n != 2 && n != 3) || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) return false;
    // "8:5" is fine; "08:05x" is not (sscanf would stop at the x).
    std::string t = Trim(text);
    for (char c : t)
        if (!isdigit(static_cast<unsigned char>(c)) && c != ':') return false;
    *seconds = static_cast<uint32_t>(h * 3600 + m * 60 + s);
    return true;
}

std::string FormatTimeOfDay(uint32_t seconds, bool withSeconds) {
    char buf[16];
    if (withSeconds)
        snprintf(buf, sizeof buf, "%02u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
    else
        snprintf(buf, sizeof buf, "%02u:%02u", seconds / 3600, seconds / 60 % 60);
    return buf;
}

std::string DescribeSchedule(const JobSettings& s) {
    CivilTime at = ToCivil(s.Time);
    std::string text;
    switch (s.SchedType) {
        case kSchedManually:
            return "manually";
        case kSchedOnStartup:
            text = "at start-up";
            break;
        case kSchedMonthly:
            text = "monthly on day " + std::to_string(at.day) + " at " + HourMinute(s.Time);
            break;
        case kSchedWeekly:
            text = std::string("weekly on ") + kDayLong[Weekday(s.Time)] + " at " + HourMinute(s.Time);
            break;
        case kSchedDaily:
            text = "daily at " + HourMinute(s.Time);
            break;
        case kSchedHourly: {
            char buf[32];
            snprintf(buf, sizeof buf, "hourly at minute %02d", at.minute);
            text = buf;
            break;
        }
        case kSchedEvery: {
            char buf[32];
            snprintf(buf, sizeof buf, "every %u:%02u", s.Hour, s.Minute);
            text = buf;
            break;
        }
        case kSchedYearly:
            text = "yearly on " + std::to_string(at.day) + " " + kMonthLong[at.month] + " at " +
                   HourMinute(s.Time);
            break;
        case kSchedOnce:
            return "once at " + FormatStoreTime(s.Time).substr(0, 16);
        default:
            return "unknown kind " + std::to_string(s.SchedType);
    }
    std::string limits;
    if (HonoursDays(s.SchedType)) {
        std::string days = DescribeDays(s.ExcludedDays);
        if (!days.empty()) limits = days;
    }
    if (HonoursWindow(s.SchedType) && s.WindowStart != s.WindowStop &&
        !(s.WindowStart == 0 && s.WindowStop == kSecondsPerDay - 1)) {
        if (!limits.empty()) limits += " ";
        limits += FormatTimeOfDay(s.WindowStart) + kDash + FormatTimeOfDay(s.WindowStop);
    }
    if (!limits.empty()) text += ", " + limits;
    return text;
}

}  // namespace zk40
