#include "store/AppPaths.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace zk40 {

namespace {
std::string EnvOr(const char* var, const std::string& fallback) {
    const char* v = std::getenv(var);
    return v && *v == '/' ? std::string(v) : fallback;
}

// A service started without HOME (a system unit) uses the account's home
// from the password database; it never falls back to a shared folder.
std::string Home() {
    const char* h = std::getenv("HOME");
    if (h && *h == '/') return h;
    if (passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir && *pw->pw_dir == '/') return pw->pw_dir;
    return {};
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

// The folders made from the data and state folders.
void DerivePaths(AppPaths& p) {
    p.storeFile = p.dataDir + "/store.db";
    p.actionsDir = p.dataDir + "/actions/";
    p.helpDir = p.dataDir + "/help/";
    p.traceLog = p.stateDir + "/zk40.trace.log";
    p.crashLog = p.stateDir + "/zk40.crash.log";
}

// `path` without its last component.
std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
}  // namespace

std::string RuntimeDirProblem(const std::string& dir) {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0)
        return errno == ENOENT ? "does not exist"
                               : "cannot be read (" + std::string(strerror(errno)) + ")";
    if (!S_ISDIR(st.st_mode)) return "is not a folder";
    if (st.st_uid != getuid())
        return "belongs to uid " + std::to_string(st.st_uid) + ", not to us (uid " +
               std::to_string(getuid()) + ")";
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return "is not writable (" + std::string(strerror(errno)) + ")";
    return {};
}

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
    std::string home = Home();
    const char* dataEnv = std::getenv("XDG_DATA_HOME");
    const char* stateEnv = std::getenv("XDG_STATE_HOME");
    bool needHome = !(dataEnv && *dataEnv == '/') || !(stateEnv && *stateEnv == '/');
    if (needHome && home.empty())
        p.problem = "no home folder is known (set HOME, or XDG_DATA_HOME and XDG_STATE_HOME)";
    p.dataDir = EnvOr("XDG_DATA_HOME", home + "/.local/share") + "/zarkell40";
    p.stateDir = EnvOr("XDG_STATE_HOME", home + "/.local/state") + "/zarkell40";
    // The session's runtime folder only while it is there for us to use.
    const char* rt = std::getenv("XDG_RUNTIME_DIR");
    if (rt && *rt) p.runtimeNamed = rt;
    if (p.runtimeNamed.empty()) {
        p.runtimeFallback = "XDG_RUNTIME_DIR is not set";
    } else if (p.runtimeNamed[0] != '/') {
        p.runtimeFallback = "XDG_RUNTIME_DIR " + p.runtimeNamed + " is not an absolute path";
    } else if (std::string why = RuntimeDirProblem(p.runtimeNamed); !why.empty()) {
        p.runtimeFallback = "XDG_RUNTIME_DIR " + p.runtimeNamed + " " + why;
    }
    p.runtimeDir = p.runtimeFallback.empty() ? p.runtimeNamed : FallbackRuntimeDir();
    DerivePaths(p);
    return p;
}

AppPaths AppPaths::SystemService() {
    AppPaths p;
    const std::string root = EnvOr("ZK40_SYSTEM_ROOT", "");
    p.dataDir = root + "/var/lib/zarkell40";
    p.stateDir = root + "/var/log/zarkell40";
    p.runtimeDir = p.runtimeNamed = root + "/run/zarkell40";
    DerivePaths(p);
    return p;
}

void AppPaths::ExportToEnvironment() const {
    setenv("XDG_DATA_HOME", Parent(dataDir).c_str(), 1);
    setenv("XDG_STATE_HOME", Parent(stateDir).c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dataDir + "/config").c_str(), 1);
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

std::string ShippedDataDir() {
    if (const char* d = std::getenv("ZK40_SHARE_DIR"); d && *d) return d;
    std::string exe = ExecutablePath();
    std::string dir = exe.substr(0, exe.rfind('/'));
#ifdef ZK40_SHARE_FROM_BIN
    const std::string installed = dir + "/" ZK40_SHARE_FROM_BIN;
#else
    const std::string installed = dir + "/../share/zarkell40";
#endif
    for (const std::string& c : {installed, dir + "/share/zarkell40"}) {
        if (access((c + "/update.cfg").c_str(), R_OK) != 0) continue;
        char resolved[PATH_MAX];
        return realpath(c.c_str(), resolved) ? std::string(resolved) : c;
    }
    return {};
}

namespace {
std::string UserName(uid_t uid) {
    if (passwd* pw = getpwuid(uid))
        return std::string(pw->pw_name) + " (uid " + std::to_string(uid) + ")";
    return "uid " + std::to_string(uid);
}

// A group whose only possible member is us: our primary group, named as we
// are, with no other members listed (the user-private-group convention).
bool GroupIsOurs(gid_t gid) {
    if (gid != getegid()) return false;
    passwd* pw = getpwuid(geteuid());
    group* gr = getgrgid(gid);
    if (!pw || !gr || std::string(gr->gr_name) != pw->pw_name) return false;
    for (char** m = gr->gr_mem; m && *m; ++m)
        if (std::string(*m) != pw->pw_name) return false;
    return true;
}

bool OthersCanWrite(const struct stat& st) {
    return (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && !GroupIsOurs(st.st_gid));
}

std::string Mode(const struct stat& st) {
    char b[8];
    snprintf(b, sizeof b, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return b;
}
}  // namespace

std::string UnsafePathReason(const std::string& path) {
    if (path.empty() || path[0] != '/') return "\"" + path + "\" is not an absolute path";
    std::string target = path;
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    const uid_t me = geteuid();
    // Walk from the root down; stop at the first component that is missing.
    std::string prefix;
    size_t pos = 0;
    while (pos < target.size()) {
        size_t next = target.find('/', pos + 1);
        if (next == std::string::npos) next = target.size();
        prefix = target.substr(0, next);
        pos = next;
        struct stat st {};
        if (stat(prefix.c_str(), &st) != 0) return {};
        bool last = pos >= target.size();
        if (last) {
            if (st.st_uid != me)
                return prefix + " belongs to " + UserName(st.st_uid) + ", not to " + UserName(me);
            if (OthersCanWrite(st))
                return "other users can write to " + prefix + " (mode " + Mode(st) + ")";
        } else {
            if (st.st_uid != me && st.st_uid != 0)
                return prefix + " belongs to " + UserName(st.st_uid) +
                       ", who could replace what is in it";
            if (OthersCanWrite(st) && !(st.st_mode & S_ISVTX))
                return "other users can write to " + prefix + " (mode " + Mode(st) +
                       "), so they could replace what is in it";
        }
    }
    return {};
}

std::string CheckPrivateFolders(const AppPaths& paths) {
    if (!paths.problem.empty()) return paths.problem;
    const std::pair<const char*, const std::string*> items[] = {{"data folder", &paths.dataDir},
                                                                {"state folder", &paths.stateDir},
                                                                {"store", &paths.storeFile}};
    for (const auto& [what, path] : items) {
        std::string why = UnsafePathReason(*path);
        if (!why.empty()) return "refusing the " + std::string(what) + " " + *path + ": " + why;
    }
    return {};
}

}  // namespace zk40
