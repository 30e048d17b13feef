#include <gtest/gtest.h>

#include <cstring>

#include "modules/DateExpand.h"

using namespace zk40;

namespace {

std::string Expand(const std::string& text, StoreTime t, size_t size = 64) {
    std::vector<char> buf(size + 8, '#');
    memcpy(buf.data(), text.c_str(), std::min(text.size() + 1, size));
    ExpandDateCodes(buf.data(), size, [t] { return t; });
    for (size_t i = size; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << "wrote past the buffer";
    return std::string(buf.data(), strnlen(buf.data(), size));
}

TEST(DateExpand, Codes) {
    StoreTime mar5 = ToStoreTime(1999, 3, 5, 14, 7, 9);  // a Friday
    StoreTime sunHalfPastMidnight = ToStoreTime(2026, 12, 13, 0, 30, 0);
    StoreTime noon = ToStoreTime(2026, 12, 10, 12, 0, 0);
    struct Case {
        const char* in;
        StoreTime t;
        const char* out;
    } cases[] = {
        {"File-$Y$m$d.log", mar5, "File-19990305.log"},
        {"$A $B $a $b", mar5, "Friday March Fri Mar"},
        {"$D|$d|$e|$j|$y", mar5, "03-05-99|05|5|64|99"},
        {"$H $k $I $l $M $S", mar5, "14 14 02 2 07 9"},
        {"$R $r $p", mar5, "14:07 02:07:09 PM PM"},
        {"$Q", mar5, ""},
        {"100$$", mar5, "100$"},
        {"$$Y", mar5, "$Y"},
        {"end$", mar5, "end$"},
        {"$Q$Y", mar5, "1999"},
        {"$p", noon, "PM"},
        {"$I", sunHalfPastMidnight, "12"},
        {"$w", sunHalfPastMidnight, "6"},
        {"$s", ToStoreTime(1901, 1, 1, 0, 1, 40), "100"},
    };
    for (const Case& c : cases) EXPECT_EQ(Expand(c.in, c.t), c.out) << c.in;
}

TEST(DateExpand, NeverPastTheBuffer) {
    StoreTime t = ToStoreTime(1999, 3, 5, 14, 7, 9);
    EXPECT_EQ(Expand("ab$B", t, 8), "abMarch");
    EXPECT_EQ(Expand("$B$B$B", t, 10), "MarchMarc");
    EXPECT_EQ(Expand("x$Ay", t, 6), "xFrid");
    // A code that grows the text first and codes that shrink it after: the
    // whole result fits, so nothing of the tail may be lost on the way.
    EXPECT_EQ(Expand("$Y$q$q$q$q", t, 12), "1999");
    EXPECT_EQ(Expand("$A: $$$$$$$$", t, 13), "Friday: $$$$");
    // A buffer without a terminator is cut at its last byte.
    std::vector<char> raw(5, 'a');
    ExpandDateCodes(raw.data(), raw.size(), [t] { return t; });
    EXPECT_EQ(std::string(raw.data()), "aaaa");
}

}  // namespace
