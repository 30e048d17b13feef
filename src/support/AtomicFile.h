#pragma once
// Files that are replaced whole: whoever reads one (systemd, a desktop
// session) sees the old contents or the new, never a part, even when the
// program is killed or the disk fills while writing.
#include <string>

namespace zk40 {

// Writes `text` to a new file beside `path` (a name of its own, created
// exclusively, never through a link), gives it `mode`, flushes it to disk
// and renames it over `path`. On failure nothing is left behind and `path`
// is as it was; *error says what failed.
bool ReplaceFileAtomically(const std::string& path, const std::string& text, unsigned mode,
                           std::string* error);

}  // namespace zk40
