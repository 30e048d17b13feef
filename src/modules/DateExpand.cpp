#include "modules/DateExpand.h"

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
    size_t i = 0;
    std::string rep;
    while (i < size && i < len && buffer[i] != '\0') {
        if (buffer[i] != '$' || i + 1 >= len) {
            ++i;
            continue;
        }
        rep.clear();
        bool known = Replacement(buffer[i + 1], now(), rep);
        if (!known) rep.clear();
        // Move the tail to make room or close the gap; whatever would pass
        // the last byte is cut.
        size_t tail = len - (i + 2);
        size_t room = size - 1;  // the last byte ends up as the terminator
        size_t newLen = std::min(room, i + rep.size() + tail);
        size_t tailDest = i + rep.size();
        if (tailDest < newLen) memmove(buffer + tailDest, buffer + i + 2, newLen - tailDest);
        size_t repCopy = std::min(rep.size(), room > i ? room - i : 0);
        memcpy(buffer + i, rep.data(), repCopy);
        len = newLen;
        buffer[len] = '\0';
        // Go on after the first character of the replacement, so "$$Y"
        // leaves "$Y" and an empty replacement re-examines what moved up.
        i += rep.empty() ? 0 : 1;
    }
    buffer[size - 1] = '\0';
}

}  // namespace zk40
