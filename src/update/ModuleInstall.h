#pragma once
// Installing an action module from a file on disk: a module archive as the
// update server sends them (a zip with ACTION.DLL and perhaps ACTION.HLP),
// or a signed module file. It takes the steps an update takes for a
// downloaded archive: the archive is unpacked where a download would be,
// and the module host installs the file or replaces the running library
// (letting running jobs finish first, and saying when only a restart can
// bring the new code in).
//
// The file must say what it is: its own vendor and module strings name the
// catalogue entry it is installed for, and the catalogue must already know
// that module's action types (an update configuration describes them).
// Its loaded action types are served by the new file; when none is loaded,
// all of them are loaded.
#include <cstdint>
#include <string>
#include <vector>

#include "store/Store.h"
#include "update/UpdateProgress.h"

namespace zk40 {

class TModuleHost;

struct ModuleInstallResult {
    bool ok = false;
    // The new file is in place, but the old library could not be let go.
    bool restartNeeded = false;
    std::string vendor, module;
    uint32_t version = 0;
    std::vector<std::string> types;  // the action types it serves now
    std::string text;                // what was done, or why nothing was
};

// Must run where the host's modules live (the main thread of the program,
// or a tool with a host of its own). helpDir "" leaves an archive's help out.
ModuleInstallResult InstallModuleFromFile(const std::string& file, TModuleHost& host,
                                          const TRegKey& actionsKey, const std::string& helpDir,
                                          IUpdateProgress& progress);

}  // namespace zk40
