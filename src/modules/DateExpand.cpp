#include "modules/DateExpand.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace zk40 {

namespace {
const char* const kWeekdays[7] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                  "Friday", "Saturday", "Sunday"};
const char* const kMonths[12] = {"January",   "February", "March",    "April",
                                 "May",       "June",     "July",     "August",
                                 "September", "October",  "November", "December"};

// The replacement for one code, or false when the code is unknown.
bool Replacement(char code, StoreTime t, std::string& out) {
    CivilTime c = ToCivil(t);
    int wd = Weekday(t);  // 1 = Monday
    int h12 = c.hour % 12 == 0 ? 12 : c.hour % 12;
    const char* ampm = c.hour < 12 ? "AM" : "PM";
    char b[64];
    switch (code) {
        case '$':
            out = "$";
            return true;
        case 'A':
            out = kWeekdays[wd - 1];
            return true;
        case 'B':
            out = kMonths[c.month - 1];
            return true;
        case 'a':
            out = std::string(kWeekdays[wd - 1], 3);
            return true;
        case 'b':
            out = std::string(kMonths[c.month - 1], 3);
            return true;
        case 'D':
            snprintf(b, sizeof b, "%02d-%02d-%02d", c.month, c.day, c.year % 100);
            break;
        case 'd':
            snprintf(b, sizeof b, "%02d", c.day);
            break;
        case 'e':
            snprintf(b, sizeof b, "%d", c.day);
            break;
        case 'm':
            snprintf(b, sizeof b, "%02d", c.month);
            break;
        case 'Y':
            snprintf(b, sizeof b, "%d", c.year);
            break;
        case 'y':
            snprintf(b, sizeof b, "%d", c.year % 100);
            break;
        case 'j':
            snprintf(b, sizeof b, "%d", DayOfYear(t));
            break;
        case 'H':
            snprintf(b, sizeof b, "%02d", c.hour);
            break;
        case 'k':
            snprintf(b, sizeof b, "%d", c.hour);
            break;
        case 'I':
            snprintf(b, sizeof b, "%02d", h12);
            break;
        case 'l':
            snprintf(b, sizeof b, "%d", h12);
            break;
        case 'M':
            snprintf(b, sizeof b, "%02d", c.minute);
            break;
        case 'S':
            snprintf(b, sizeof b, "%d", c.second);
            break;
        case 'R':
            snprintf(b, sizeof b, "%02d:%02d", c.hour, c.minute);
            break;
        case 'r':
            snprintf(b, sizeof b, "%02d:%02d:%02d %s", h12, c.minute, c.second, ampm);
            break;
        case 'p':
            out = ampm;
            return true;
        case 's':
            snprintf(b, sizeof b, "%u", t);
            break;
        case 'w':
            snprintf(b, sizeof b, "%d", wd - 1);
            break;
        default:
            return false;
    }
    out = b;
    return true;
}
}  // namespace

void ExpandDateCodes(char* buffer, size_t size, const std::function<StoreTime()>& now) {
    if (!buffer || size == 0) return;
    size_t len = strnlen(buffer, size);
    // Expanded apart from the buffer and cut only at the end: a code that
    // grows the text must not push out a tail that later codes would have
    // made room for again.
    std::string out;
    out.reserve(len);
    std::string rep;
    for (size_t i = 0; i < len; ++i) {
        if (buffer[i] != '$' || i + 1 >= len) {
            out += buffer[i];
            continue;
        }
        // An unknown code goes away; "$$" leaves one '$' that starts nothing.
        if (Replacement(buffer[i + 1], now(), rep)) out += rep;
        ++i;
    }
    size_t keep = std::min(out.size(), size - 1);
    memcpy(buffer, out.data(), keep);
    buffer[keep] = '\0';
}

}  // namespace zk40
