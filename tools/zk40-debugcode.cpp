// Issues a support access code for the trace flags: the flags it permits
// and the last day on which it is valid.
//
//   zk40-debugcode MASK LAST-DAY       e.g.  zk40-debugcode 0x08 2027-01-31
//   zk40-debugcode --check CODE        shows what a code permits
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store/Trace.h"
#include "support/StoreTime.h"

using namespace zk40;

static int Usage() {
    fprintf(stderr,
            "usage: zk40-debugcode MASK LAST-DAY   (MASK 0x00-0xFF, LAST-DAY YYYY-MM-DD)\n"
            "       zk40-debugcode --check CODE\n");
    return 1;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--check") == 0) {
        debugcode::Decoded d = debugcode::Decode(argv[2]);
        if (!d.valid) {
            fprintf(stderr, "ERROR: not a valid code\n");
            return 1;
        }
        printf("flags 0x%02X, valid through %s\n", d.mask,
               FormatStoreTime(d.lastValidDay).substr(0, 10).c_str());
        return 0;
    }
    if (argc != 3) return Usage();
    char* end = nullptr;
    unsigned long mask = strtoul(argv[1], &end, 0);
    if (!end || *end || mask > 0xFFFFFFFFul) {
        fprintf(stderr, "ERROR: MASK must be a number such as 0x08 or 255\n");
        return 1;
    }
    StoreTime day = 0;
    if (!ParseStoreTime(argv[2], day) || uint64_t{day} >= uint64_t{65536} * kSecondsPerDay) {
        fprintf(stderr, "ERROR: LAST-DAY must be a date YYYY-MM-DD from 1901 on\n");
        return 1;
    }
    printf("%s\n", debugcode::Issue(static_cast<uint32_t>(mask), StartOfDay(day)).c_str());
    return 0;
}
