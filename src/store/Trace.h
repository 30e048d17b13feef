#pragma once
// Diagnostic trace: one line per call, appended to the trace file when any
// bit of the call's mask is among the flags in effect. Each line opens and
// closes the file, so the log is complete up to the last line after a crash
// and a deleted log is simply made again.
#include <cstdint>
#include <string>
#include <string_view>

#include "support/StoreTime.h"

namespace zk40 {

class TRegKey;

enum TraceFlag : uint32_t {
    kTraceGeneral = 0x01,
    kTraceStartup = 0x02,
    kTraceShutdown = 0x04,
    kTraceTimer = 0x08,
    kTraceRunJob = 0x10,
    kTraceRunAction = 0x20,
    kTraceActionStatus = 0x40,
    kTraceActionStatus2 = 0x80,
};

namespace trace {

// Process-wide: 0 until LoadFlags runs.
uint32_t FlagsInEffect();
void SetFlagsInEffect(uint32_t flags);
void SetFile(const std::string& path);
const std::string& File();
// The clock that stamps lines; the system clock unless a test sets one.
void SetClock(const IClock* clock);

void Write(uint32_t mask, const char* sourceFile, int line, std::string_view text);
// Written whatever the flags say.
void WriteAlways(const char* sourceFile, int line, std::string_view text);

// Computes the flags in effect from base\DebugFlags and base\DebugCode,
// writes the result back to DebugFlags and returns it.
uint32_t LoadFlags(const TRegKey& base, StoreTime now);

}  // namespace trace

// Support access codes. A code is 21 characters of a 32-symbol alphabet and
// carries the flags it permits and the last day it is valid, sealed with a
// keyed hash so that a code cannot be edited into a wider one.
namespace debugcode {

constexpr size_t kLength = 21;

std::string Issue(uint32_t permittedMask, StoreTime lastValidDay);

struct Decoded {
    bool valid = false;
    uint32_t mask = 0;
    StoreTime lastValidDay = 0;  // midnight of the last valid day
};
Decoded Decode(std::string_view code);

// The flags a code permits today: none when it has expired; `current` when
// the code is not valid at all.
uint32_t PermittedFlags(std::string_view code, StoreTime now, uint32_t current);

}  // namespace debugcode

}  // namespace zk40

#define ZK40_TRACE(mask, text) ::zk40::trace::Write((mask), __FILE__, __LINE__, (text))
