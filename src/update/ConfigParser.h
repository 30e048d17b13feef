#pragma once
// The two text formats the update server sends: the configuration file,
// which tells us what is available (builds, modules, actions, their URLs and
// texts, when to ask again), and an action's data file, which replaces the
// action's ACTDATA subtree.
//
// The configuration parser applies each line as it reads it, inside one
// store transaction, so a file of any size is never held in memory; the
// action data parser reads first and applies after. Progress is reported
// while the transaction runs: a progress sink must hand its reports on
// without waiting for the main thread, which may be waiting for the store.
#include <cstddef>
#include <string>
#include <vector>

#include "store/Store.h"
#include "support/StoreTime.h"
#include "update/UpdateProgress.h"

namespace zk40 {

// Where a configuration line lands: vendor, module and action ids as the
// VENDORID, MODULEID and ACTIONID lines above it set them.
struct ConfigContext {
    std::string vendor, module, action;
};

// An INCLUDE line: another configuration file, read with the context the
// line had.
struct ConfigInclude {
    std::string vendor, module, action, url;
};

// The longest line either format accepts, not counting its LF. A longer line
// is skipped whole: storing the front of a cut URL or id would do more harm
// than leaving the value as it was. The skipped line is written to the
// trace log.
inline constexpr size_t kMaxConfigLine = 1024;

// Applies a configuration file to the store below productKey, starting with
// the context ctx (empty for the main file, the INCLUDE line's for an
// included one). Values go to `config` while the vendor is empty, else to
// `actions\vendor[\module[\action]]`, keys made as needed. "KEY:value" sets,
// "+KEY:value" appends, "KEY:" (empty value, with or without "+") deletes.
// Lines without ":" or with an empty key are skipped. INCLUDE lines are not
// applied; when `includes` is given they are collected into it (those met
// while the vendor is empty or with an empty URL are dropped). A file that
// cannot be opened parses as empty.
//
// Some values are never taken from a configuration, whatever its source:
// TEMPFILE (a path the program itself keeps), a FILENAME that is not a plain
// name (no '/', not "." or ".."). Unless localSource says that the file was
// read from a local file (the configuration shipped with the program, a
// file:// LocalUpdate), no value may name a local file ("file:..."): a
// server must not make us read /dev/zero or a private file. Refused lines
// are skipped, written to the trace log and counted in a status text.
//
// Returns false only when the store would not take the writes (no store, or
// the transaction could not start); the store is then unchanged.
bool ParseConfigFile(const std::string& path, const TRegKey& productKey, ConfigContext ctx,
                     IUpdateProgress& progress, std::vector<ConfigInclude>* includes = nullptr,
                     bool localSource = false);

// Reads a configuration file again for its INCLUDE lines only, tracking the
// context the same way the parser does. Included files are never searched:
// callers run this on the main file alone.
std::vector<ConfigInclude> FindIncludes(const std::string& path);

// The action types a configuration file describes (each ACTIONID line under
// a VENDORID and MODULEID), read the way the parser reads them; included
// files are not searched.
std::vector<ConfigContext> FindActionTypes(const std::string& path);

// "[SYSTEM UPDATE] vendor:module:action", "[SYSTEM UPDATE] vendor:module" or
// "[SYSTEM UPDATE] vendor", whichever the include's context fills.
std::string IncludeDisplayText(const ConfigInclude& include);

// When to update next, from config\NEXT-UPDATE ("MM/DD/YYYY HH:MM" in UTC;
// the separators are not read). The result is never earlier than a day from
// now (seconds of the minute dropped). An empty text, one whose fields are
// not all numbers, an impossible date or time, or one the store's 32-bit
// time cannot hold all give that same "a day from now".
StoreTime NextUpdateFrom(const std::string& nextUpdateText, StoreTime now);

// "SysUpd:  Completed.  Next Update = <date and time>."
std::string CompletedText(StoreTime nextUpdate);

// Replaces the ACTDATA subtree of the action actions\vendor\module\action
// below productKey with the content of an action data file: VERSION sets the
// action's ADVERSION, SUBKEY picks the subkey of ACTDATA that later lines
// write to (empty = ACTDATA itself), every other line is a string value. Keys
// are taken as written (case matters for VERSION and SUBKEY). A file that
// cannot be opened parses as empty, which leaves an empty ACTDATA.
//
// Returns false, writing nothing, when the ids do not name an action (one is
// empty or holds a '\') or when the store would not take the writes.
bool ParseActionDataFile(const std::string& path, const TRegKey& productKey,
                         const std::string& vendor, const std::string& module,
                         const std::string& action, IUpdateProgress& progress);

}  // namespace zk40
