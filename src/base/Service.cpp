#include "base/Service.h"

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>

#include <QCoreApplication>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "store/AppPaths.h"
#include "support/AtomicFile.h"

extern char** environ;

namespace zk40 {

namespace {
std::atomic<TService*> gCurrent{nullptr};
}

TService::TService() { gCurrent.store(this); }

TService::~TService() {
    TService* self = this;
    gCurrent.compare_exchange_strong(self, nullptr);
}

TService* TService::Current() { return gCurrent.load(); }

bool TService::SystemScope() {
    if (SystemScopeSet()) return true;
    const char* scope = std::getenv("ZK40_SYSTEMD_SCOPE");
    if (scope && strcmp(scope, "user") == 0) return false;
    return geteuid() == 0;
}

bool TService::SystemScopeSet() {
    const char* scope = std::getenv("ZK40_SYSTEMD_SCOPE");
    return scope && strcmp(scope, "system") == 0;
}

std::string TService::UnitDir() {
    const char* o = std::getenv("ZK40_SYSTEMD_UNIT_DIR");
    if (o && *o) return o;
    if (SystemScope()) return "/etc/systemd/system";
    const char* cfg = std::getenv("XDG_CONFIG_HOME");
    if (cfg && *cfg == '/') return std::string(cfg) + "/systemd/user";
    const char* home = std::getenv("HOME");
    if (home && *home == '/') return std::string(home) + "/.config/systemd/user";
    if (passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir)
        return std::string(pw->pw_dir) + "/.config/systemd/user";
    return {};
}

std::string TService::UnitFilePath() const { return UnitDir() + "/" + "zarkell40.service"; }

std::string TService::UnitText(const std::string& unitTemplate, const std::string& exePath,
                               const std::string& runAsUser) {
    // systemd splits ExecStart at blanks and treats backslashes and quotes
    // specially; quote the path so any folder name survives.
    std::string quoted = "\"";
    for (char c : exePath) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string t = unitTemplate;
    const std::string token = "@ZK40_EXEC@";
    for (size_t at; (at = t.find(token)) != std::string::npos;) t.replace(at, token.size(), quoted);
    if (!runAsUser.empty()) {
        size_t at = t.find("[Service]\n");
        if (at != std::string::npos) t.insert(at + 10, "User=" + runAsUser + "\n");
    }
    return t;
}

namespace {
// Runs systemctl with the given arguments; its output goes where ours goes.
bool Systemctl(bool system, std::vector<std::string> args) {
    if (!system) args.insert(args.begin(), "--user");
    args.insert(args.begin(), "systemctl");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// systemd is asked to reload only for its own folders, and only when it is
// the running init (not in a container or chroot without it).
bool ManagedBySystemd() {
    return std::getenv("ZK40_SYSTEMD_UNIT_DIR") == nullptr && sd_booted() > 0;
}

std::string EnableCommand(bool system) {
    return std::string("systemctl ") + (system ? "" : "--user ") + "enable --now zarkell40.service";
}
}  // namespace

bool TService::Install(const std::string& runAsUser, std::string* report) {
    const bool system = SystemScope();
    if (!runAsUser.empty()) {
        if (!system) {
            *report =
                "/user: is for the system service (run /register as root); a user service runs as "
                "its user";
            return false;
        }
        if (!getpwnam(runAsUser.c_str())) {
            *report = "there is no user \"" + runAsUser + "\" to run the service as";
            return false;
        }
    }
    const std::string shipped = ShippedDataDir();
    const std::string templ =
        shipped + "/systemd/zarkell40-" + (system ? "system" : "user") + ".service.in";
    std::ifstream in(templ);
    if (shipped.empty() || !in) {
        *report =
            "cannot read the unit template " +
            (shipped.empty() ? std::string("(the program's shared files are missing)") : templ);
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string dir = UnitDir();
    std::string path = UnitFilePath();
    if (dir.empty() || !MakeDirs(dir, 0755)) {
        *report = "cannot make the folder " + dir + ": " + strerror(errno);
        return false;
    }
    if (!ReplaceFileAtomically(path, UnitText(text, ExecutablePath(), runAsUser), 0644, report))
        return false;
    *report = "Wrote " + path + (runAsUser.empty() ? "" : " (runs as " + runAsUser + ")") + ".\n";
    if (ManagedBySystemd()) {
        if (!Systemctl(system, {"daemon-reload"}))
            *report += "systemctl daemon-reload failed; run it before enabling the unit.\n";
    } else if (std::getenv("ZK40_SYSTEMD_UNIT_DIR") == nullptr) {
        *report += "systemd is not running here; the unit takes effect where it runs.\n";
    }
    *report += std::string("To start the service now and ") +
               (system ? "at every boot" : "at every login") + ":\n    " + EnableCommand(system) +
               "\n";
    return true;
}

bool TService::Remove(std::string* report) {
    const bool system = SystemScope();
    std::string path = UnitFilePath();
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        *report = "No unit at " + path + "; nothing to remove.\n";
        return true;
    }
    if (ManagedBySystemd()) Systemctl(system, {"disable", "--now", "zarkell40.service"});
    if (unlink(path.c_str()) != 0) {
        *report = "cannot remove " + path + ": " + strerror(errno);
        return false;
    }
    if (ManagedBySystemd()) Systemctl(system, {"daemon-reload"});
    *report = "Removed " + path + ".\n";
    return true;
}

bool TService::DebugRun(int argc, char** argv) {
    SignalRunning(true);
    stopRequested_ = false;
    argc_ = argc;
    argv_ = argv;
    bool ok = OnInit();
    if (ok) {
        Run();
        OnExit();
    }
    return ok;
}

bool TService::ServiceMain(int argc, char** argv) {
    reporting_ = true;
    SetStatus(kServiceStartPending, 0);
    SignalRunning(true);
    stopRequested_ = false;
    argc_ = argc;
    argv_ = argv;
    int code = -1;
    if (OnInit()) {
        SetStatus(kServiceRunning, 0);
        Run();
        SetStatus(kServiceStopPending, 0);
        OnExit();
        code = 0;
    }
    SetStatus(kServiceStopped, code);
    return code == 0;
}

void TService::SignalRunning(bool running) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        runEvent_ = running;
    }
    cv_.notify_all();
}

void TService::ControlHandler(int control) {
    switch (control) {
        case kControlStop:
        case kControlShutdown:
            SetStatus(kServiceStopPending, exitCode_);
            stopRequested_ = true;
            SignalRunning(true);
            break;
        case kControlPause:
            SetStatus(kServicePausePending, exitCode_);
            SignalRunning(false);
            break;
        case kControlContinue:
            SetStatus(kServiceContinuePending, exitCode_);
            SignalRunning(true);
            break;
        case kControlInterrogate:
            SetStatus(state_, exitCode_);
            break;
        default:
            break;
    }
}

bool TService::Running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return runEvent_;
}

bool TService::CheckPauseAndStop() {
    bool running;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running = runEvent_;
    }
    if (!running && !pauseSeen_) {
        pauseSeen_ = true;
        OnPause();
        SetStatus(kServicePaused, exitCode_);
    } else if (running && pauseSeen_) {
        pauseSeen_ = false;
        OnContinue();
        SetStatus(kServiceRunning, exitCode_);
    }
    return stopRequested_;
}

void TService::SetStatus(int state, int exitCode) {
    state_ = state;
    exitCode_ = exitCode;
    if (!reporting_) return;
    std::string msg;
    switch (state) {
        case kServiceStartPending:
            msg = "STATUS=Starting";
            break;
        case kServiceRunning:
            msg = "READY=1\nSTATUS=Running";
            break;
        case kServicePausePending:
            msg = "STATUS=Pausing";
            break;
        case kServicePaused:
            msg = "STATUS=Paused";
            break;
        case kServiceContinuePending:
            msg = "STATUS=Continuing";
            break;
        case kServiceStopPending:
            msg = "STOPPING=1\nSTATUS=Stopping";
            break;
        case kServiceStopped:
            msg = exitCode ? "STATUS=Stopped (error " + std::to_string(exitCode) + ")"
                           : "STATUS=Stopped";
            break;
        default:
            return;
    }
    sd_notify(0, msg.c_str());
}

void TService::ReportEvent(const std::string& text, int type) {
    int priority = type == 1 ? LOG_ERR : type == 2 ? LOG_WARNING : LOG_INFO;
    sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=%s",
                    ServiceName().c_str(), nullptr);
}

// ---- signals ----

namespace {
// SIGHUP comes when the terminal the program was started from closes: an
// ordinary request to stop, not a crash.
sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
    return set;
}
}  // namespace

void TSignalControl::Block() {
    sigset_t set = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void TSignalControl::Unblock() {
    sigset_t set = ControlSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

TSignalControl::TSignalControl(void (*onStop)(void*), void* ctx) : onStop_(onStop), ctx_(ctx) {
    sigset_t set = ControlSignals();
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
    if (signalFd_ < 0) {
        error_ = std::string("signalfd: ") + strerror(errno);
        return;
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        error_ = std::string("eventfd: ") + strerror(errno);
        return;
    }
    try {
        thread_ = std::thread([this] { Loop(); });
    } catch (const std::system_error& e) {
        error_ = std::string("cannot start its thread: ") + e.what();
    }
}

TSignalControl::~TSignalControl() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        ssize_t n = write(wakeFd_, &one, sizeof one);
        (void)n;
        thread_.join();
    }
    if (signalFd_ >= 0) close(signalFd_);
    if (wakeFd_ >= 0) close(wakeFd_);
}

void TSignalControl::Loop() {
    for (;;) {
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        signalfd_siginfo info{};
        if (read(signalFd_, &info, sizeof info) != sizeof info) continue;
        TService* service = TService::Current();
        switch (info.ssi_signo) {
            case SIGTERM:
            case SIGINT:
            case SIGHUP:
                if (service) service->ControlHandler(kControlStop);
                if (onStop_) onStop_(ctx_);
                break;
            case SIGUSR1:
            case SIGUSR2:
                if (service)
                    service->ControlHandler(info.ssi_signo == SIGUSR1 ? kControlPause
                                                                      : kControlContinue);
                // An idle program sleeps in its event loop; an empty event
                // wakes it so that its tick sees the pause.
                if (QCoreApplication* app = QCoreApplication::instance())
                    QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
                break;
            default:
                break;
        }
    }
}

}  // namespace zk40
