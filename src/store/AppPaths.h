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
    // Why runtimeDir is not the folder XDG_RUNTIME_DIR names ("XDG_RUNTIME_DIR
    // is not set", "XDG_RUNTIME_DIR /run/user/0 is not writable (...)");
    // empty when it is. runtimeNamed is that folder, empty when none is.
    std::string runtimeFallback;
    std::string runtimeNamed;
    std::string storeFile;   // dataDir/store.db
    std::string actionsDir;  // dataDir/actions/
    std::string helpDir;     // dataDir/help/
    std::string traceLog;    // stateDir/zk40.trace.log
    std::string crashLog;    // stateDir/zk40.crash.log
    // Set when a folder could not be worked out (no HOME and no XDG
    // variable, no passwd entry): the program must not start then.
    std::string problem;

    static AppPaths FromEnvironment();
    // The system unit's folders, whoever asks: the store and the modules in
    // /var/lib/zarkell40, the logs in /var/log/zarkell40, the socket in
    // /run/zarkell40, which the unit's StateDirectory=, LogsDirectory= and
    // RuntimeDirectory= make. The service that the unit starts and
    // "zk40 --system" both take them from here. $ZK40_SYSTEM_ROOT, when it
    // is an absolute path, is put before each (for tests). Nothing is
    // checked or made.
    static AppPaths SystemService();
    // Points the XDG variables at these folders, so that what the program
    // starts (a job that runs zk40 or hands a job over) finds the same store
    // and instance, and keeps its configuration beside the store.
    void ExportToEnvironment() const;
    // Makes the folders that must exist (data, state, actions, help), 0700.
    void MakeFolders() const;
};

// Why `dir` cannot hold the instance socket and lock ("does not exist",
// "is not writable (Read-only file system)"), or empty when it can: it
// must be a folder of ours that we can write to.
std::string RuntimeDirProblem(const std::string& dir);

// The running executable's full path.
std::string ExecutablePath();

// The folder of the files that come with the program (shipped modules and
// their update configuration, help, unit templates): $ZK40_SHARE_DIR, else
// found relative to the running executable, installed (bin/../share/
// zarkell40) or in the build tree (beside the binary). Empty when none.
std::string ShippedDataDir();

// Why `path` is not safe to keep our own data in, or empty when it is: it
// must belong to us, and neither it nor a folder above it may be open to
// other users' writes (a sticky folder such as /tmp above it is fine, since
// others cannot rename what is ours in it). A group that is ours alone
// does not count as others. Components that do not exist yet are not
// checked: we make them, 0700.
std::string UnsafePathReason(const std::string& path);

// UnsafePathReason for the data and state folders and the store file, as
// one message naming which one and why; empty when all are safe.
std::string CheckPrivateFolders(const AppPaths& paths);
// mkdir -p with the given mode; true when the folder exists afterwards.
bool MakeDirs(const std::string& path, unsigned mode = 0700);

}  // namespace zk40
