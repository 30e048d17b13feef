#pragma once
// Where the program keeps its files. Taken from the XDG variables once at
// start and passed to whatever needs a folder, so tests can point every
// folder into a scratch directory.
#include <string>

namespace zk40 {

struct AppPaths {
    std::string dataDir;     // $XDG_DATA_HOME/zarkell40
    std::string stateDir;    // $XDG_STATE_HOME/zarkell40
    std::string runtimeDir;  // $XDG_RUNTIME_DIR, or a private folder in /tmp
    std::string storeFile;   // dataDir/store.db
    std::string actionsDir;  // dataDir/actions/
    std::string helpDir;     // dataDir/help/
    std::string traceLog;    // stateDir/zk40.trace.log
    std::string crashLog;    // stateDir/zk40.crash.log

    static AppPaths FromEnvironment();
    // Makes the folders that must exist (data, state, actions, help), 0700.
    void MakeFolders() const;
};

// The running executable's full path.
std::string ExecutablePath();
// mkdir -p with the given mode; true when the folder exists afterwards.
bool MakeDirs(const std::string& path, unsigned mode = 0700);

}  // namespace zk40
