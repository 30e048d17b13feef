#include "support/ClockText.h"

#include <langinfo.h>

#include <clocale>
#include <cstdio>
#include <cstring>

namespace zk40 {

ClockSettings LocaleClockSettings() {
    ClockSettings s;
    // The time format of the locale tells the clock kind and the separator:
    // "%I" or "%l" (or "%r") for a 12-hour clock, "%H" for a zero-padded
    // 24-hour one, "%k" for one without.
    std::string fmt = nl_langinfo(T_FMT);
    if (fmt.empty()) return s;
    if (fmt.find("%r") != std::string::npos) fmt = nl_langinfo(T_FMT_AMPM);
    if (fmt.find("%H") != std::string::npos || fmt.find("%T") != std::string::npos) {
        s.twelveHour = false;
        s.leadingZero = true;
    } else if (fmt.find("%k") != std::string::npos) {
        s.twelveHour = false;
    } else if (fmt.find("%I") != std::string::npos) {
        s.leadingZero = true;
    }
    if (fmt.find("%T") != std::string::npos) {
        s.separator = ":";
    } else {
        size_t h = fmt.find_first_of("HIkl");
        size_t m = fmt.find("%M");
        if (h != std::string::npos && m != std::string::npos && m > h + 1)
            s.separator = fmt.substr(h + 1, m - h - 1).substr(0, 2);
    }
    if (s.twelveHour) {
        const char* am = nl_langinfo(AM_STR);
        const char* pm = nl_langinfo(PM_STR);
        if (am && *am) s.am = std::string(am).substr(0, 4);
        if (pm && *pm) s.pm = std::string(pm).substr(0, 4);
    }
    return s;
}

std::optional<std::string> TClockFormatter::Format(int hour, int minute, int second) {
    bool invalid = hour < 0 || minute < 0;
    if (invalid) cache_.reset();
    if (!cache_) cache_ = source_();
    if (invalid) return std::nullopt;
    const ClockSettings& s = *cache_;
    bool afternoon = false;
    if (s.twelveHour) {
        afternoon = hour >= 12;
        if (hour > 12) hour -= 12;
    }
    char buf[64];
    int n = snprintf(buf, sizeof buf, "%s%d%s%02d", s.leadingZero && hour < 10 ? "0" : "", hour,
                     s.separator.c_str(), minute);
    if (second >= 0 && n > 0 && n < static_cast<int>(sizeof buf))
        snprintf(buf + n, sizeof buf - n, "%s%02d", s.separator.c_str(), second);
    std::string out = buf;
    if (s.twelveHour) out += " " + (afternoon ? s.pm : s.am);
    return out;
}

}  // namespace zk40
