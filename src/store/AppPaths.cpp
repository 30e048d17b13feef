#include "store/AppPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace zk40 {

namespace {
std::string EnvOr(const char* var, const std::string& fallback) {
    const char* v = std::getenv(var);
    return v && *v == '/' ? std::string(v) : fallback;
}

std::string Home() {
    const char* h = std::getenv("HOME");
    return h && *h ? h : "/tmp";
}

// A private runtime folder when the session has none (or one that is gone,
// as after the session ended): zarkell40-<uid> in $TMPDIR or /tmp, refused
// unless it is ours and closed to others.
std::string FallbackRuntimeDir() {
    std::string dir = EnvOr("TMPDIR", "/tmp") + "/zarkell40-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    struct stat st {};
    if (lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid()) {
        if ((st.st_mode & 077) != 0) chmod(dir.c_str(), 0700);
        return dir;
    }
    return {};
}

// The session's runtime folder only while it is there for us to use.
bool UsableRuntimeDir(const char* dir) {
    if (!dir || *dir != '/') return false;
    struct stat st {};
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
           access(dir, W_OK | X_OK) == 0;
}
}  // namespace

bool MakeDirs(const std::string& path, unsigned mode) {
    if (path.empty()) return false;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string dir = path.substr(0, i);
            if (mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) return false;
        }
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

AppPaths AppPaths::FromEnvironment() {
    AppPaths p;
    p.dataDir = EnvOr("XDG_DATA_HOME", Home() + "/.local/share") + "/zarkell40";
    p.stateDir = EnvOr("XDG_STATE_HOME", Home() + "/.local/state") + "/zarkell40";
    const char* rt = std::getenv("XDG_RUNTIME_DIR");
    p.runtimeDir = UsableRuntimeDir(rt) ? std::string(rt) : FallbackRuntimeDir();
    p.storeFile = p.dataDir + "/store.db";
    p.actionsDir = p.dataDir + "/actions/";
    p.helpDir = p.dataDir + "/help/";
    p.traceLog = p.stateDir + "/zk40.trace.log";
    p.crashLog = p.stateDir + "/zk40.crash.log";
    return p;
}

void AppPaths::MakeFolders() const {
    MakeDirs(dataDir);
    MakeDirs(stateDir);
    MakeDirs(actionsDir.substr(0, actionsDir.size() - 1));
    MakeDirs(helpDir.substr(0, helpDir.size() - 1));
}

std::string ExecutablePath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "zarkell40";
    buf[n] = 0;
    return buf;
}

}  // namespace zk40
