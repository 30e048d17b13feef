#include "zk40_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "base/SingleInstance.h"

#if __has_include("base/InstanceRequest.h")
#include "base/InstanceRequest.h"
#define ZK40_HAVE_INSTANCE_REQUEST 1
#else
#include "store/AppPaths.h"
#include "store/AppStore.h"
#endif

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

#if ZK40_HAVE_INSTANCE_REQUEST
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
#else
// Until the instance takes requests: the old hand-over through the store.
Answer NotifyStoreChanged(const std::string& runtimeDir) {
    return {InstanceRunning(runtimeDir) ? Answer::NoAnswer : Answer::NoInstance,
            "the running instance does not take store changes yet"};
}

Answer RunJob(const std::string& runtimeDir, const std::string& name) {
    if (!InstanceRunning(runtimeDir)) return {};
    AppPaths paths = AppPaths::FromEnvironment();
    TAppStore app(paths);
    app.base.SetString("CommandLine", "/runjob:\"" + name + "\"");
    TInstanceLock lock(runtimeDir);
    if (!WakeRunningInstance(lock.SocketPath(), 30000)) return {Answer::NoAnswer, "no answer"};
    return {Answer::Ok, {}};
}
#endif

}  // namespace zk40::cli
