#include "zk40_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/SingleInstance.h"

#include "base/InstanceRequest.h"

namespace zk40::cli {

bool InstanceRunning(const std::string& runtimeDir) {
    if (runtimeDir.empty()) return false;
    // The instance holds an exclusive lock on this file for its lifetime. A
    // shared lock taken and dropped at once tells without claiming anything.
    TInstanceLock probe(runtimeDir);
    int fd = open(probe.LockPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

bool SystemServiceRunning(const std::string& runtimeDir, bool* outOfReach) {
    *outOfReach = false;
    if (InstanceRunning(runtimeDir)) return true;
    struct stat st {};
    if (stat(runtimeDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    *outOfReach = access(runtimeDir.c_str(), X_OK) != 0;
    return *outOfReach;
}

namespace {
Answer From(const InstanceAnswer& a) {
    Answer out;
    out.text = a.text;
    switch (a.kind) {
        case InstanceAnswer::Kind::NoInstance: out.kind = Answer::NoInstance; break;
        case InstanceAnswer::Kind::Ok: out.kind = Answer::Ok; break;
        case InstanceAnswer::Kind::Refused: out.kind = Answer::Refused; break;
        case InstanceAnswer::Kind::NoAnswer: out.kind = Answer::NoAnswer; break;
    }
    return out;
}
}  // namespace

Answer NotifyStoreChanged(const std::string& runtimeDir) {
    return From(zk40::NotifyStoreChanged(runtimeDir));
}

Answer RunJob(const std::string& runtimeDir, const std::string& name) {
    return From(HandOverArguments(runtimeDir, {"/runjob:" + name}));
}

Answer ActionTypes(const std::string& runtimeDir, bool load, const std::vector<std::string>& types) {
    return From(SendInstanceRequest(runtimeDir, MakeTypesRequest(load, types)));
}

Answer JobOperation(const std::string& runtimeDir, const std::vector<std::string>& fields) {
    return From(SendInstanceRequest(runtimeDir, MakeJobRequest(fields)));
}

Answer SchedulerStatus(const std::string& runtimeDir) {
    return From(SendInstanceRequest(runtimeDir, kStatusRequest, 5000));
}

Answer InstallModule(const std::string& runtimeDir, const std::string& path, int timeoutMs) {
    return From(SendInstanceRequest(runtimeDir, MakeInstallRequest(path), timeoutMs));
}

}  // namespace zk40::cli
