#pragma once
// The settings of a "Run Program" action: property ids (stored as the
// action's RID-%04X values) and their defaults. The module, its settings
// dialog and the tests share these, so a value written by one is read by
// the others under the same id.
#include <cstdint>

namespace zk40::runprogram {

inline constexpr char kActionId[] = "RUNPROGRAM";

// Text: a path, or a bare name looked up in PATH. Default "".
inline constexpr int16_t kProgramRid = 1;
// Text: arguments, split like a shell does (blanks, quotes, backslash), but
// no shell runs them. Default "".
inline constexpr int16_t kArgumentsRid = 2;
// Text: the folder the program starts in; "" = the user's home (or "/").
inline constexpr int16_t kWorkingFolderRid = 3;
// Number: seconds the program may run before it is stopped; 0 = no limit.
inline constexpr int16_t kTimeLimitRid = 4;
// Text: exit codes that count as success, e.g. "0,1,3-5". Default "0";
// a blank text means the same as "0".
inline constexpr int16_t kAcceptedExitCodesRid = 5;
// Number: how many of the last output lines are kept as the action's child
// items. Default 10; at most kMaxOutputLines.
inline constexpr int16_t kOutputLinesRid = 6;

inline constexpr char kDefaultAcceptedExitCodes[] = "0";
inline constexpr uint32_t kDefaultOutputLines = 10;
inline constexpr uint32_t kMaxOutputLines = 1000;
// Longer output lines are cut to this many bytes.
inline constexpr uint32_t kMaxLineBytes = 256;
// Seconds between SIGTERM and SIGKILL when a program is stopped.
inline constexpr int kStopGraceSeconds = 5;

}  // namespace zk40::runprogram
