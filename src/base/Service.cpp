#include "base/Service.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <system_error>
#include <cstdlib>
#include <fstream>

#include "store/AppPaths.h"

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

std::string TService::UnitDir() {
    const char* o = std::getenv("ZK40_SYSTEMD_UNIT_DIR");
    if (o && *o) return o;
    if (geteuid() == 0) return "/etc/systemd/system";
    const char* cfg = std::getenv("XDG_CONFIG_HOME");
    if (cfg && *cfg == '/') return std::string(cfg) + "/systemd/user";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "/tmp") + "/.config/systemd/user";
}

std::string TService::UnitFilePath() const { return UnitDir() + "/" + "zarkell40.service"; }

std::string TService::UnitText(const std::string& exePath, const std::string& displayName,
                               const std::string& serviceName, bool systemWide) {
    // systemd splits ExecStart at blanks and treats backslashes and quotes
    // specially; quote the path so any folder name survives.
    std::string quoted = "\"";
    for (char c : exePath) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string t;
    t += "[Unit]\n";
    t += "Description=" + displayName + "\n";
    t += "After=network-online.target\n";
    t += "Wants=network-online.target\n\n";
    t += "[Service]\n";
    t += "Type=notify\n";
    t += "NotifyAccess=main\n";
    t += "ExecStart=" + quoted + " /service\n";
    t += "SyslogIdentifier=" + serviceName + "\n";
    t += "KillMode=mixed\n";
    t += "TimeoutStopSec=90\n\n";
    t += "[Install]\n";
    t += std::string("WantedBy=") + (systemWide ? "multi-user.target" : "default.target") + "\n";
    return t;
}

bool TService::Install() {
    std::string dir = UnitDir();
    if (!MakeDirs(dir, 0755)) return false;
    std::string path = UnitFilePath();
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) return false;
        out << UnitText(ExecutablePath(), DisplayName(), ServiceName(),
                        geteuid() == 0 && std::getenv("ZK40_SYSTEMD_UNIT_DIR") == nullptr);
        if (!out.flush()) return false;
    }
    chmod(tmp.c_str(), 0644);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool TService::Remove() {
    std::string path = UnitFilePath();
    return unlink(path.c_str()) == 0 || errno == ENOENT;
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

bool TService::CheckPauseAndStop() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (runEvent_) return stopRequested_;
    lock.unlock();
    OnPause();
    SetStatus(kServicePaused, exitCode_);
    lock.lock();
    // A pause holds the whole program here until continue or stop arrives.
    cv_.wait(lock, [this] { return runEvent_; });
    lock.unlock();
    OnContinue();
    SetStatus(kServiceRunning, exitCode_);
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
                if (service) service->ControlHandler(kControlPause);
                break;
            case SIGUSR2:
                if (service) service->ControlHandler(kControlContinue);
                break;
            default:
                break;
        }
    }
}

}  // namespace zk40
