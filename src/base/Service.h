#pragma once
// Running as a system service under systemd. "/register" writes a unit file
// whose ExecStart runs the program with "/service"; stop, pause and continue
// arrive as SIGTERM (or SIGINT), SIGUSR1 and SIGUSR2 and reach the service
// through the control thread, never through a signal handler.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace zk40 {

enum ServiceState : int {
    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
    kServiceContinuePending = 5,
    kServicePausePending = 6,
    kServicePaused = 7,
};

enum ServiceControl : int {
    kControlStop = 1,
    kControlPause = 2,
    kControlContinue = 3,
    kControlInterrogate = 4,
    kControlShutdown = 5,
};

class TService {
public:
    TService();
    virtual ~TService();
    TService(const TService&) = delete;
    TService& operator=(const TService&) = delete;

    // Writes (or rewrites) the unit file from the shipped template of its
    // kind, with ExecStart set to this program and, for a system unit,
    // User= when runAsUser is given; reloads systemd when it runs. report
    // gets what was done and the command that enables the unit, or why
    // nothing was done. True on success.
    bool Install(const std::string& runAsUser, std::string* report);
    // Disables and removes the unit file; a service that was never
    // installed is fine.
    bool Remove(std::string* report);

    virtual std::string ServiceName() const = 0;
    virtual std::string DisplayName() const = 0;
    virtual bool OnInit() { return true; }
    virtual int Run() = 0;
    virtual void OnExit() {}
    virtual void OnPause() {}
    virtual void OnContinue() {}

    // Runs the body without the service manager: no status reports.
    bool DebugRun(int argc, char** argv);
    // Runs the body as started by systemd, reporting status through sd_notify.
    bool ServiceMain(int argc, char** argv);
    void ControlHandler(int control);
    // Takes note of a pause or continue that arrived since the last look
    // (reporting it to the service manager and calling OnPause or
    // OnContinue), then tells whether a stop was asked for. Never waits: a
    // paused program goes on answering its clients, it only starts nothing.
    bool CheckPauseAndStop();
    void SetStatus(int state, int exitCode);
    void ReportEvent(const std::string& text, int type);

    int State() const { return state_; }
    // False while paused.
    bool Running();
    bool StopRequested() const { return stopRequested_; }
    int argc() const { return argc_; }
    char** argv() const { return argv_; }

    // A system unit as root, a user unit otherwise; ZK40_SYSTEMD_SCOPE
    // ("system" or "user") chooses explicitly.
    static bool SystemScope();
    // The system unit says ZK40_SYSTEMD_SCOPE=system; the service it starts
    // keeps its files in the unit's folders (AppPaths::SystemService),
    // whichever user it runs as.
    static bool SystemScopeSet();
    // The folder for the unit file; by default /etc/systemd/system for a
    // system unit, else ~/.config/systemd/user. ZK40_SYSTEMD_UNIT_DIR
    // overrides it (and then systemd is not asked to reload).
    static std::string UnitDir();
    std::string UnitFilePath() const;
    // The unit template with ExecStart pointed at exePath and, when
    // runAsUser is not empty, User= added to the [Service] section.
    static std::string UnitText(const std::string& unitTemplate, const std::string& exePath,
                                const std::string& runAsUser);

    static TService* Current();

private:
    void SignalRunning(bool running);
    int argc_ = 0;
    char** argv_ = nullptr;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool runEvent_ = false;  // signalled = running, clear = paused
    bool pauseSeen_ = false;  // the last look found the pause
    std::atomic<bool> stopRequested_{true};
    std::atomic<int> state_{kServiceStopped};
    std::atomic<int> exitCode_{0};
    bool reporting_ = false;
};

class TZarkell40Service : public TService {
public:
    using RunFn = int (*)(void* ctx);
    TZarkell40Service(RunFn run, void* ctx) : run_(run), ctx_(ctx) {}
    std::string ServiceName() const override { return "Zarkell40"; }
    std::string DisplayName() const override { return "Zarkell'40 Service"; }
    int Run() override { return run_ ? run_(ctx_) : 0; }

private:
    RunFn run_;
    void* ctx_;
};

// Turns SIGTERM, SIGINT, SIGHUP, SIGUSR1 and SIGUSR2 into calls on its own
// thread. Block() must run in main() before any other thread exists.
class TSignalControl {
public:
    static void Block();
    // Gives the signals back their default effect (when the control could
    // not be set up and the program leaves).
    static void Unblock();
    // onStop runs for SIGTERM, SIGINT and SIGHUP; pause and continue go to
    // the current service, if any.
    explicit TSignalControl(void (*onStop)(void*), void* ctx);
    ~TSignalControl();
    // Empty when the signals are handled; else why they cannot be.
    const std::string& Error() const { return error_; }

private:
    std::string error_;
    void Loop();
    void (*onStop_)(void*);
    void* ctx_;
    int signalFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

}  // namespace zk40
