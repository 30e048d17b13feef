#include "base/Client.h"

#include "jobs/JobOps.h"

#include <malloc.h>
#include <strings.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <cctype>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "jobs/ClientView.h"
#include "jobs/JobDisplay.h"
#include "base/CommandLine.h"
#include "base/InstanceRequest.h"
#include "base/Service.h"
#include "jobs/ActionHandle.h"
#include "modules/ModuleFile.h"
#include "scheduler/CrashLog.h"
#include "store/AppStore.h"
#include "store/RegFile.h"
#include "store/Trace.h"
#include "update/ConfigParser.h"
#include "update/UpdateCoordinator.h"

namespace zk40 {

namespace {

intptr_t HostSend(ZKHwnd hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    if (!hwnd) return 0;
    return static_cast<TZarkellClient*>(hwnd)->HostSend(msg, wparam, lparam);
}

int HostPost(ZKHwnd hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    if (!hwnd) return 0;
    static_cast<TZarkellClient*>(hwnd)->Pump().Post(msg, wparam, lparam);
    return 1;
}

const ZKHostFunctions kHostFunctions = {
    sizeof(ZKHostFunctions), ZK_HOST_VERSION, &HostSend, &HostPost, &HostAlloc, &HostFree};

}  // namespace

const ZKHostFunctions* TZarkellClient::HostFunctions() { return &kHostFunctions; }

// The update worker's view of the client. Reports from the worker are handed
// to the main thread; calls made on the main thread itself (the start-up
// checks) go straight through.
class TZarkellClient::UpdateBridge : public IUpdateOwner {
public:
    explicit UpdateBridge(TZarkellClient& c) : c_(c) {}
    void Status(const std::string& text) override {
        OnMain([this, text] { c_.ShowStatus(text); });
    }
    void Progress(int percent) override {
        OnMain([this, percent] { c_.view_.UpdateProgress(percent); });
    }
    void TimeRemaining(int seconds) override {
        OnMain([this, seconds] { c_.view_.TimeRemaining(seconds); });
    }
    void QueueBranchAdd(const std::string& text) override {
        OnMain([this, text] { c_.view_.QueueBranchAdd(text); });
    }
    void QueueBranchRemoveFirst() override {
        OnMain([this] { c_.view_.QueueBranchRemoveFirst(); });
    }
    Install InstallModule(const std::string& path, const std::string& vendor,
                          const std::string& module, const std::string& action) override {
        TInstallRequest rq{path, vendor, module, action};
        intptr_t r = c_.pump_->Send(ZKM_INSTALL, 0, reinterpret_cast<intptr_t>(&rq));
        return r == 0 ? Install::Failed : r == 2 ? Install::RestartNeeded : Install::Loaded;
    }
    void SetUpdating(bool on) override { c_.updates_->SetUpdating(on); }
    bool JobsRunning() override {
        return c_.pump_->SendCall([this] { return intptr_t(c_.AnyJobRunning()); }) != 0;
    }
    void QuitForUpgrade() override {
        c_.pump_->PostCall([] { QCoreApplication::quit(); });
    }
    StoreTime Now() const override { return c_.clock_.Now(); }

private:
    template <typename F>
    void OnMain(F&& f) {
        if (c_.pump_->OnMainThread())
            f();
        else
            c_.pump_->PostCall(std::forward<F>(f));
    }
    TZarkellClient& c_;
};

TZarkellClient::TZarkellClient(TAppStore& app, const AppPaths& paths, const IClock& clock,
                               IClientView& view, TService* service, QObject* parent)
    : QObject(parent), app_(app), paths_(paths), clock_(clock), view_(view), service_(service) {
    trace::LoadFlags(app_.base, clock_.Now());
    ZK40_TRACE(kTraceGeneral, "TZarkellClient::TZarkellClient()");
    // The C library gives threads heaps of their own, up to eight per core;
    // job threads allocate little, and a burst of them would otherwise keep
    // several heaps' worth of pages. The environment's choice stands.
    if (!getenv("MALLOC_ARENA_MAX")) mallopt(M_ARENA_MAX, 2);
    app_.LoadFlagBits();
    srand(static_cast<unsigned>(clock_.Now()) ^ static_cast<unsigned>(getpid()));
    actionsKey_ = TRegKey(app_.product, "actions");
    crashKey_ = TRegKey(app_.product, "crash");
    std::string actionPath = TRegString(app_.base, "ActionPath", paths_.actionsDir).Get();
    MakeDirs(actionPath);
    pump_ = std::make_unique<TMessagePump>(
        [this](uint32_t m, uintptr_t w, intptr_t l) { return services_->Handle(m, w, l); });
    modules_ = std::make_unique<TModuleHost>(*this, &kHostFunctions, actionsKey_, actionPath);
    services_ = std::make_unique<THostServices>(*modules_, view_, clock_, crashKey_, Hwnd());
    bridge_ = std::make_unique<UpdateBridge>(*this);
    updates_ = std::make_unique<TUpdateCoordinator>(app_.base, app_.product, actionsKey_, *modules_,
                                                    view_, clock_, *bridge_);
    updates_->Settings().helpDir = TRegString(app_.base, "HelpPath", paths_.helpDir).Get();
    updates_->Settings().buildNumber = kBuildNumber;
    updates_->Connection().SetStateCallback(
        [this](const std::string& text) { view_.ConnectionState(text); });
    updates_->SetShippedDataDir(ShippedDataDir());
    timer_.setSingleShot(true);
    // A coarse timer may fire a few milliseconds early, which would put a
    // scheduling pass just before the second it is meant to follow.
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(100);
    connect(&timer_, &QTimer::timeout, this, &TZarkellClient::EvTimer);
    if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance())
        connect(d, &QAbstractEventDispatcher::aboutToBlock, this, &TZarkellClient::CheckSleep);
    ZK40_TRACE(kTraceGeneral, "TZarkellClient::TZarkellClient()");
}

TZarkellClient::~TZarkellClient() {
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::~TZarkellClient()");
    CloseWindow();
    if (clockFd_ >= 0) close(clockFd_);
    if (storeWatchFd_ >= 0) close(storeWatchFd_);
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::~TZarkellClient()");
}

void TZarkellClient::SetupWindow() {
    ZK40_TRACE(kTraceGeneral, "TZarkellClient::SetupWindow()");
    paths_.MakeFolders();
    LoadJobs();
    WatchClock();
    WatchStoreFile();
    // A fresh installation fetches its configuration about a minute after
    // its first start.
    TRegTime nextUpdate(app_.base, "NextUpdate", 0);
    if (nextUpdate.Get() == 0) nextUpdate = clock_.Now() + 60 - (clock_.Now() + 60) % 60;
    FirstRunConnectionChoice(app_.base, *bridge_, !askConnection_, askConnection_);
    updates_->PrepareShippedModules();
    if (jobs_.empty()) ShowStatus("System Initialization:  No jobs are defined yet");
    ZK40_TRACE(kTraceGeneral, "TZarkellClient::SetupWindow()");
    timer_.start();
}

void TZarkellClient::LoadJobs() {
    // One commit for the whole load: with thousands of jobs, each writing
    // its State and NextRun, per-write commits would dominate the start.
    if (app_.Store()) {
        app_.Store()->Transaction([this] {
            LoadJobsNow();
            RecordLoadedPrints();
            return true;
        });
        // The load read the whole store once through the page cache and
        // left the heap full of the reads' scraps; neither is needed until
        // something runs, and an idle program should be small.
        app_.Store()->ReleaseMemory();
    } else {
        LoadJobsNow();
    }
    malloc_trim(0);
}

void TZarkellClient::LoadJobsNow() {
    StoreTime now = clock_.Now();
    if (app_.Store()) seenDataVersion_ = app_.Store()->DataVersion();
    uint32_t count = app_.jobs.CurrentSubKeyCount();
    jobs_.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        std::string name;
        if (app_.jobs.EnumSubKey(i, &name, 10) != kRegOk) continue;
        uint32_t id = static_cast<uint32_t>(strtoul(name.c_str(), nullptr, 16));
        std::unique_ptr<TJob> job = MakeLoadedJob(id, now);
        queue_.Insert(job.get());
        TJob* added = job.get();
        AddToJobs(std::move(job));
        view_.JobAdded(added->Id());
    }
}

void TZarkellClient::Reschedule(TJob& job, StoreTime now, NextRunCause cause) {
    if (job.ComputeNextRun(now, cause) || cause == NextRunCause::ClockChanged) return;
    std::string name;
    uint32_t kind;
    {
        TSync::TLock lock(job);
        name = job.Name.Get();
        kind = job.SchedType;
    }
    ShowStatus("Job \"" + name + "\":  Unknown schedule kind " + std::to_string(kind) +
               "; the job runs only when started by hand");
}

void TZarkellClient::WatchClock() {
    utcOffset_ = clock_.UtcOffset();
    // A timer that the kernel cancels whenever the wall clock is set.
    clockFd_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (clockFd_ < 0) return;
    auto arm = [this] {
        itimerspec spec{};
        spec.it_value.tv_sec = INT32_MAX;
        timerfd_settime(clockFd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr);
    };
    arm();
    clockNotifier_ = new QSocketNotifier(clockFd_, QSocketNotifier::Read, this);
    connect(clockNotifier_, &QSocketNotifier::activated, this, [this, arm] {
        uint64_t n;
        ssize_t r = read(clockFd_, &n, sizeof n);
        (void)r;
        arm();
        ClockChanged();
    });
}

void TZarkellClient::ClockChanged() {
    // Whatever the offset is now, this recomputation has taken it in.
    utcOffset_ = clock_.UtcOffset();
    StoreTime now = clock_.Now();
    for (TJob* job : queue_.Jobs()) {
        Reschedule(*job, now, NextRunCause::ClockChanged);
        view_.JobChanged(job->Id());
    }
    queue_.Resort();
}

void TZarkellClient::UtcOffsetChanged(int64_t shift) {
    // Store times are wall-clock times of the offset they were taken in.
    // Hourly and interval jobs count real time from their last run, and a
    // pending retry waits a real delay: those times are expressed in the
    // new offset, so that the same instants stay meant (else the autumn
    // change would hold them for an hour, and the spring change run them
    // early). Calendar kinds mean wall-clock times and keep them, so a job
    // that ran in the hour that comes twice does not run again in its
    // repeat.
    auto shifted = [shift](StoreTime t) {
        const int64_t s = static_cast<int64_t>(t) + shift;
        return s > 0 && s < kNeverTime ? static_cast<StoreTime>(s) : t;
    };
    std::vector<uint32_t> changed;
    for (auto& j : jobs_) {
        TSync::TLock lock(*j);
        const uint32_t kind = j->SchedType;
        const bool interval = kind == kSchedHourly || kind == kSchedEvery;
        if (!interval && j->RetriesDone == 0) continue;
        if (interval && j->LastRun.Get() != kSmallestTime) j->LastRun = shifted(j->LastRun);
        if (j->NextRun.Get() != kNeverTime) j->NextRun = shifted(j->NextRun);
        changed.push_back(j->Id());
    }
    queue_.Resort();
    for (uint32_t id : changed) view_.JobChanged(id);
}

std::vector<TJob*> TZarkellClient::AllJobs() {
    std::vector<TJob*> out;
    out.reserve(jobs_.size());
    for (auto& j : jobs_) out.push_back(j.get());
    return out;
}

bool TZarkellClient::AnyJobRunning() {
    for (auto& t : threads_)
        if (t->CurrentStatus() == TThread::Running) return true;
    return false;
}

bool TZarkellClient::WaitServing(const std::function<bool()>& done, int timeoutMs) {
    return pump_->WaitServing(done, timeoutMs);
}

void TZarkellClient::ShowStatus(const std::string& text) {
    if (!closed_) view_.ShowStatus(text);
}

TJob* TZarkellClient::FindJobByName(const std::string& name) const {
    TJob* loose = nullptr;
    for (auto& j : jobs_) {
        TSync::TLock lock(*j);
        if (j->Name.Get() == name) return j.get();
        if (!loose && strcasecmp(j->Name.Get().c_str(), name.c_str()) == 0) loose = j.get();
    }
    return loose;
}

// ---- running actions (job threads) ----

intptr_t TZarkellClient::HostSend(uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    TJob* job = pump_->OnMainThread() ? nullptr : JobRunOnThisThread();
    if (job) {
        intptr_t result = 0;
        switch (services_->OnJobThread(*job, msg, wparam, lparam, &result)) {
            case THostServices::JobThreadAnswer::Answered:
                return result;
            case THostServices::JobThreadAnswer::Post:
                pump_->Post(msg, wparam, lparam);
                return 1;
            case THostServices::JobThreadAnswer::Send:
                break;
        }
    }
    return pump_->Send(msg, wparam, lparam);
}

bool TZarkellClient::RunAction(TAction& action) {
    ActionIdentity id = action.Identity();
    const uint32_t handle = action.Handle();
    std::shared_ptr<TActionTypeModule> module = modules_->FindModule(id.vendor, id.module);
    bool ok = module && module->RunAction(Hwnd(), id.action, handle);
    if (!module) {
        std::string why = modules_->WhyNotLoaded(id.vendor, id.module);
        PostActionStatus(handle, "Action Status: Action module " + id.vendor + ":" + id.module +
                                     " is not loaded" + (why.empty() ? "" : ": " + why));
    }
    TSync::TLock lock(action);
    action.LastStat = ok ? 0 : 1;
    return ok;
}

bool TZarkellClient::StopAction(TAction& action) {
    ActionIdentity id = action.Identity();
    auto module = modules_->FindModule(id.vendor, id.module);
    return module && module->StopAction(Hwnd(), id.action, action.Handle());
}

void TZarkellClient::PostActionStatus(uint32_t handle, const std::string& text) {
    pump_->Post(ZKM_ACTION_STATUS, handle, reinterpret_cast<intptr_t>(HostStrdup(text)));
}

void TZarkellClient::PostActionStarting(uint32_t handle) {
    pump_->PostCall([handle] {
        if (TAction* a = ResolveActionHandle(handle)) {
            TSync::TLock lock(*a);
            a->StatusReported = 0;
        }
    });
}

void TZarkellClient::PostActionEnded(uint32_t handle, const std::string& fallbackText) {
    pump_->PostCall([this, handle, fallbackText] {
        TAction* a = ResolveActionHandle(handle);
        if (!a) return;
        {
            TSync::TLock lock(*a);
            if (!a->StatusReported) a->Status = fallbackText;
        }
        view_.ActionChanged(handle, ActionField::Status);
    });
}

void TZarkellClient::PostToMainThread(std::function<void()> call) {
    pump_->PostCall(std::move(call));
}

// ---- the tick ----

bool TZarkellClient::Paused() const { return service_ && !service_->Running(); }

void TZarkellClient::EvTimer() {
    // A single-shot timer re-armed at the end: ticks never overlap and the
    // next one comes 100 ms after this one ends.
    timer_.stop();
    // Not sleeping while the tick runs: a wait inside it (a module being
    // replaced) runs the event loop, and the sleep check must not start a
    // second tick inside this one.
    sleeping_ = false;
    if (pump_->Waiting()) {
        // A command or an installation is waiting on the main thread (and
        // runs the event loop meanwhile); the tick resumes when it is done.
        Rearm();
        return;
    }
    if (service_) {
        const bool wasPaused = pausedSeen_;
        if (service_->CheckPauseAndStop()) QCoreApplication::quit();
        pausedSeen_ = Paused();
        if (pausedSeen_ != wasPaused)
            ShowStatus(pausedSeen_ ? "Scheduler:  Paused; no job starts until it continues "
                                     "(SIGUSR2), requests are still answered"
                                   : "Scheduler:  Continued");
    }
    ZK40_TRACE(kTraceTimer, "::EvTimer()");
    if (!firstTickDone_) {
        firstTickDone_ = true;
        FirstTick();
        Rearm();
        return;
    }
    view_.Tick();
    if (++tickCounter_ < 5) {
        Rearm();
        return;
    }
    tickCounter_ = 0;
    if (long offset = clock_.UtcOffset(); offset != utcOffset_) {
        const int64_t shift = static_cast<int64_t>(offset) - utcOffset_;
        utcOffset_ = offset;
        UtcOffsetChanged(shift);
    }
    StoreTime now = clock_.Now();
    PollConnection(app_.base.GetDword("ConnType", 3));
    updates_->ReapWorker();
    ReapThreads();
    CheckStoreChanged();
    if (schedulerEnabled_ && !updates_->Updating() && !Paused()) {
        StartRequestedRuns();
        StartDueJobs(now);
    }
    if (!updates_->Updating() && !Paused()) updates_->Timing(now);
    Rearm();
}

void TZarkellClient::Rearm() {
    if (closed_) return;
    if (!alignTicks_) {
        timer_.start(100);
        return;
    }
    if (Idle()) {
        int64_t sleep = IdleSleepMs();
        if (sleep >= 0) {
            if (trimWhenIdle_) {
                // Going to sleep after work (the load, a burst of runs):
                // the heap's free pages go back to the system rather than
                // stay counted against an idle program.
                trimWhenIdle_ = false;
                malloc_trim(0);
            }
            // The wake-up is a pass: it lands just after the due second.
            sleeping_ = true;
            tickCounter_ = 4;
            timer_.start(static_cast<int>(sleep));
            return;
        }
    }
    sleeping_ = false;
    // Ticks land just after a tenth of a second of the wall clock, and the
    // scheduling pass (every fifth tick) just after a whole or half second:
    // a job due at a second then starts within milliseconds of it rather
    // than up to half a second late, while ticks stay 100 ms apart.
    using namespace std::chrono;
    int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    int64_t wait = 100 - ms % 100 + 3;
    if (wait < 50) wait += 100;
    int64_t at = (ms + wait) / 100;
    if (at % 5 == 0) tickCounter_ = 4;
    timer_.start(static_cast<int>(wait));
}

void TZarkellClient::PollConnection(uint32_t connType) {
    TConnectionMonitor& connection = updates_->Connection();
    if (connType == kConnDialUp && !linkNotifier_ && connection.Watch()) {
        linkNotifier_ = new QSocketNotifier(connection.WatchFd(), QSocketNotifier::Read, this);
        connect(linkNotifier_, &QSocketNotifier::activated, this, [this] {
            TConnectionMonitor& c = updates_->Connection();
            if (c.DrainLinkEvents() && app_.base.GetDword("ConnType", 3) == kConnDialUp)
                c.Poll(kConnDialUp);
        });
    }
    connection.Poll(connType);
}

void TZarkellClient::SetKeepTicking(bool on) {
    keepTicking_ = on;
    CheckSleep();
}

bool TZarkellClient::Idle() const {
    if (!firstTickDone_ || keepTicking_ || updates_->Updating() || updates_->WorkerExists() ||
        !threads_.empty())
        return false;
    // The tick notices a pause or continue; a paused program then sleeps.
    if (service_ && Paused() != pausedSeen_) return false;
    return true;
}

int64_t TZarkellClient::IdleSleepMs() const {
    StoreTime now = clock_.Now();
    StoreTime due = now + static_cast<StoreTime>(kMaxIdleSleepMs / 1000);
    if (Paused()) return kMaxIdleSleepMs;
    if (schedulerEnabled_ && !runRequests_.empty()) return -1;
    if (schedulerEnabled_ && !queue_.Empty()) {
        TJob* front = queue_.Front();
        TSync::TLock lock(*front);
        due = std::min<StoreTime>(due, front->NextRun.Get());
    }
    if (updates_->NeedsPassNow(&due)) return -1;
    if (due <= now) return -1;
    using namespace std::chrono;
    int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<int64_t>(due - now) * 1000 - ms % 1000 + 3;
}

void TZarkellClient::CheckSleep() {
    if (!sleeping_ || closed_) return;
    int64_t sleep = Idle() ? IdleSleepMs() : -1;
    if (sleep < 0) {
        sleeping_ = false;
        tickCounter_ = 4;
        timer_.start(0);
    } else if (sleep < timer_.remainingTime()) {
        timer_.start(static_cast<int>(sleep));
    }
}

void TZarkellClient::FirstTick() {
    modules_->LoadActionModules();
    view_.ModulesChanged();
    RunStartupChecks(
        app_.product, *bridge_, [this](TQueueURL q) { updates_->QueueRequest(std::move(q)); },
        clock_.Now(), kBuildNumber, updates_->Settings().tempDir);
    // After the checks above: a type marked while no instance ran then has
    // LOADED 0 there, and is not queued a second time by them.
    updates_->SelectPendingActionTypes();
    ShowStatus("System Initialization:  Completed,");
    if (crashDetected_) {
        StoreTime now = clock_.Now();
        CrashReport report = ReportCrash(paths_.crashLog, crashKey_, now, previousStartup_);
        std::string text = "System Initialization:  The run started " +
                           FormatStoreTime(previousStartup_) + " did not shut down cleanly; ";
        if (report.logWritten)
            text += "see " + paths_.crashLog;
        else
            text += "the crash log " + paths_.crashLog + " could not be written: " + report.logError;
        if (report.groupsEnded)
            text += "; " + std::to_string(report.groupsEnded) +
                    " program(s) its actions had started were still running and have been ended";
        ShowStatus(text);
        crashDetected_ = false;
        updates_->QueueCrashReport(now);
    } else {
        FinishPendingCrashReport(paths_.crashLog, crashKey_);
    }
}


void TZarkellClient::ReapThreads() {
    for (bool found = true; found;) {
        found = false;
        for (size_t i = 0; i < threads_.size(); ++i) {
            TJobThread& t = *threads_[i];
            if (t.CurrentStatus() == TThread::Running) continue;
            TJob& job = t.Job();
            {
                TSync::TLock lock(job);
                if (job.State.Get() == +JobState::StartRequested) continue;
            }
            t.WaitForEnd(-1);
            threads_.erase(threads_.begin() + static_cast<long>(i));
            found = true;
            trimWhenIdle_ = true;
            if (ApplyDeferredChange(&job)) break;
            {
                TSync::TLock lock(job);
                job.State = +JobState::Completed;
            }
            Reschedule(job, clock_.Now());
            view_.JobChanged(job.Id());
            queue_.Insert(&job);
            break;
        }
    }
}

void TZarkellClient::JobThreadEnded() {
    // One wake-up for however many end before the main thread gets to it.
    if (collectPosted_.exchange(true)) return;
    pump_->PostCall([this] {
        collectPosted_ = false;
        CollectEndedThreads();
    });
}

void TZarkellClient::CollectEndedThreads() {
    // At once rather than at the next pass: the job shows as completed and
    // its next run is queued without waiting for the tick.
    // Inside a wait (a command, the shutdown) or a burst's own start, the
    // tick's next pass collects them instead: those walk threads_ themselves.
    if (closed_ || pump_->Waiting() || inStartDueJobs_) return;
    ReapThreads();
}

void TZarkellClient::StartDueJobs(StoreTime now) {
    inStartDueJobs_ = true;
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{inStartDueJobs_};
    auto frontDue = [&] {
        if (queue_.Empty()) return false;
        TJob* job = queue_.Front();
        TSync::TLock lock(*job);
        return job->NextRun.Get() <= now;
    };
    // The first few turns start a few jobs each and then answer what the
    // jobs already started ask of the main thread: a module reads its
    // settings and reports its status through it, a handful of round trips
    // before its program starts, so otherwise the first of a thousand would
    // wait for the last to be made. The rest start together: spread out,
    // the early jobs' ends would compete with the later ones' starts.
    for (int turn = 0;; ++turn) {
        const size_t most = turn < kAnsweredTurns ? kStartsPerTurn : SIZE_MAX;
        std::vector<TJob*> due;
        while (due.size() < most && frontDue()) {
            due.push_back(queue_.Front());
            queue_.PopFront();
        }
        if (due.empty()) return;
        // The first job of a burst starts before the rest are prepared, so
        // its start does not wait for theirs.
        StartJob(*due.front(), true);
        if (due.size() > 1) {
            // The others' LastRun and State go to the store in one commit
            // instead of two each.
            auto rest = due.begin() + 1;
            if (app_.Store()) {
                app_.Store()->Transaction([&] {
                    for (auto it = rest; it != due.end(); ++it) MarkStarted(**it);
                    return true;
                });
            } else {
                for (auto it = rest; it != due.end(); ++it) MarkStarted(**it);
            }
            for (auto it = rest; it != due.end(); ++it) StartJob(**it, false);
        }
        if (!frontDue()) return;
        pump_->Drain();
    }
}

void TZarkellClient::MarkStarted(TJob& job) {
    TSync::TLock lock(job);
    job.LastRun = clock_.Now();
    job.State = +JobState::StartRequested;
}

bool TZarkellClient::StartJob(TJob& job) { return StartJob(job, true); }

bool TZarkellClient::StartJob(TJob& job, bool mark) {
    ZK40_TRACE(kTraceRunJob, "TZarkellClient::StartJob()");
    if (mark) MarkStarted(job);
    view_.JobChanged(job.Id());
    threads_.push_back(
        std::make_unique<TJobThread>(job, *this, crashKey_, actionsKey_, runners_));
    threads_.back()->SetEndedCallback([this] { JobThreadEnded(); });
    try {
        threads_.back()->StartRun();
    } catch (const std::exception& e) {
        threads_.pop_back();
        {
            TSync::TLock lock(job);
            job.State = +JobState::Completed;
        }
        ShowStatus(std::string("Cannot start a job thread: ") + e.what());
        job.ComputeNextRun(clock_.Now());
        queue_.Insert(&job);
        return false;
    }
    ZK40_TRACE(kTraceRunJob, "TZarkellClient::StartJob()");
    return true;
}

void TZarkellClient::SetConnectionType(uint32_t type) {
    app_.base.SetDword("ConnType", type);
    if (type == 0)
        ShowStatus("SysUpd:  Local Update Mode.");
    else
        ShowStatus("SysUpd:  Next Update = " +
                   FormatStoreTime(TRegTime(app_.base, "NextUpdate", 0).Get()) + ".");
    view_.UpdateProgress(0);
}

// ---- command line ----

std::string TZarkellClient::AnswerRequest(const std::string& line) {
    InstanceRequest rq = ParseInstanceRequest(line);
    switch (rq.verb) {
        case InstanceRequest::Verb::Args: {
            // Kept as the last command line handed over; each one is carried
            // out from the request itself, never read back from here.
            app_.base.SetString("CommandLine", JoinArguments(rq.args));
            view_.BringToFront();
            RequestResult r = ProcessArguments(rq.args);
            return MakeAnswer(r.ok, r.text);
        }
        case InstanceRequest::Verb::Reload: {
            StoreSyncCounts c = TakeInStoreChanges();
            return MakeAnswer(true, std::to_string(c.added) + " added, " +
                                        std::to_string(c.changed) + " changed, " +
                                        std::to_string(c.removed) + " deleted");
        }
        case InstanceRequest::Verb::Types:
        {
            TUpdateCoordinator::Answer a = updates_->LoadTypes(rq.load, rq.args);
            return MakeAnswer(a.ok, a.text);
        }
        case InstanceRequest::Verb::Install:
        {
            TUpdateCoordinator::Answer a =
                updates_->InstallFile(rq.args.empty() ? std::string() : rq.args[0]);
            return MakeAnswer(a.ok, a.text);
        }
        case InstanceRequest::Verb::Job: {
            JobRequest job;
            std::string error;
            if (!job.FromFields(rq.args, &error)) return MakeAnswer(false, error);
            JobAnswer a = Perform(job);
            return MakeAnswer(a.ok, FormatJobAnswer(a));
        }
        case InstanceRequest::Verb::Status:
            return MakeAnswer(true, Paused()              ? "paused"
                                    : !schedulerEnabled_ ? "disabled"
                                                         : "running");
        case InstanceRequest::Verb::Wake:
            view_.BringToFront();
            return MakeAnswer(true, {});
        case InstanceRequest::Verb::Bad:
            break;
    }
    return MakeAnswer(false, rq.error);
}

void TZarkellClient::ProcessCommandLine(const std::string& args) {
    CommandLineOutcome o = zk40::ProcessCommandLine(args, app_, ExecutablePath());
    if (o.runJob) StartRunJobFromStore();
}

TZarkellClient::RequestResult TZarkellClient::ProcessArguments(
    const std::vector<std::string>& args) {
    CommandLineOutcome o = zk40::ProcessCommandLine(args, app_, ExecutablePath());
    if (o.runJob) return StartRunJobFromStore();
    return {};
}

TZarkellClient::RequestResult TZarkellClient::StartRunJobFromStore() {
    std::string name = app_.base.GetString("RunJob");
    if (name.empty()) return {};
    // A job made a moment ago by another process must be found, and one
    // whose run has just ended (its record written, as `zk40 run --wait`
    // sees) is not "already running" only because no pass has reaped it.
    CheckStoreChanged();
    ReapThreads();
    TJob* job = FindJobByName(name);
    if (job && deletedWhileBusy_.count(job->Id())) job = nullptr;
    if (!job) {
        // Left in the store, so what was asked for stays visible.
        std::string text = "There is no job named \"" + name + "\"";
        ShowStatus("Run Job:  " + text);
        return {false, text};
    }
    app_.base.DeleteValue("RunJob");
    RunOutcome outcome = RunOutcome::Started;
    jobops::Result r = RunNow(job->Id(), &outcome);
    if (!r) {
        ShowStatus("Run Job:  " + r.Error);
        return {false, r.Error};
    }
    std::string text = outcome == RunOutcome::Waiting ? "\"" + name + "\" is already waiting to run"
                       : outcome == RunOutcome::QueuedPaused
                           ? "Queued \"" + name + "\": the scheduler is paused"
                           : "Starting \"" + name + "\"";
    ShowStatus("Run Job:  " + text);
    return {true, text};
}

// ---- shutdown ----

bool TZarkellClient::CloseWindow() {
    if (closed_) return true;
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::CloseWindow()");
    timer_.stop();
    bool updateStuck = !updates_->Stop(
        [this](const std::function<bool()>& done, int ms) { return pump_->WaitServing(done, ms); },
        shutdownWaitMs_);
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::CloseWindow()");
    app_.SaveFlagBits();
    SaveJobs();
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::CloseWindow()");
    for (auto& t : threads_) {
        TJob& job = t->Job();
        if (uint32_t h = job.IsRunning())
            if (TAction* a = job.FindAction(h)) StopAction(*a);
    }
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::CloseWindow()");
    for (auto& t : threads_) t->RequestTermination();
    // Modules get a bounded time to stop; a run that will not end is left
    // behind and reported at the next start from its run record.
    bool ended =
        pump_->WaitServing([this] { return !AnyJobRunning(); }, shutdownWaitMs_) && !updateStuck;
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::CloseWindow()");
    if (!ended) {
        for (auto& t : threads_) {
            if (t->CurrentStatus() != TThread::Running) continue;
            std::string name;
            {
                TSync::TLock lock(t->Job());
                name = t->Job().Name.Get();
            }
            view_.ShowStatus("Shutdown:  Job \"" + name + "\" did not stop within " +
                             std::to_string(shutdownWaitMs_ / 1000) +
                             " s; its run is left for the next start to report");
        }
        if (updateStuck)
            view_.ShowStatus("Shutdown:  The system update did not stop within " +
                             std::to_string(shutdownWaitMs_ / 1000) + " s");
        closed_ = true;
        return false;
    }
    for (auto& j : jobs_) InitJobActions(*j, false);
    pump_->Drain();
    threads_.clear();
    queue_ = TScheduleQueue();
    for (auto& j : jobs_) j->SetActionRunner(nullptr);
    jobsById_.clear();
    runRequests_.clear();
    jobs_.clear();
    pump_->Drain();
    modules_->Clear();
    closed_ = true;
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::CloseWindow()");
    return true;
}

}  // namespace zk40
