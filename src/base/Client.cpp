#include "base/Client.h"

#include <malloc.h>
#include <strings.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "base/CommandLine.h"
#include "base/InstanceRequest.h"
#include "base/Service.h"
#include "jobs/ActionHandle.h"
#include "jobs/ClientView.h"
#include "jobs/JobDisplay.h"
#include "jobs/JobOps.h"
#include "modules/ModuleFile.h"
#include "scheduler/CrashLog.h"
#include "store/AppStore.h"
#include "store/RegFile.h"
#include "store/Trace.h"
#include "update/ConfigParser.h"
#include "update/UpdateCoordinator.h"

namespace zk40 {

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
    modules_ = std::make_unique<TModuleHost>(*this, HostFunctions(), actionsKey_, actionPath);
    services_ = std::make_unique<THostServices>(*modules_, viewAdapter_, clock_, crashKey_, Hwnd());
    bridge_ = std::make_unique<UpdateBridge>(*this);
    updates_ = std::make_unique<TUpdateCoordinator>(app_.base, app_.product, actionsKey_, *modules_,
                                                    viewAdapter_, clock_, *bridge_);
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
    if (jobs_.Empty()) ShowStatus("System Initialization:  No jobs are defined yet");
    ZK40_TRACE(kTraceGeneral, "TZarkellClient::SetupWindow()");
    timer_.start();
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
            text +=
                "the crash log " + paths_.crashLog + " could not be written: " + report.logError;
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
    jobs_.Reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        std::string name;
        if (app_.jobs.EnumSubKey(i, &name, 10) != kRegOk) continue;
        uint32_t id = static_cast<uint32_t>(strtoul(name.c_str(), nullptr, 16));
        std::unique_ptr<TJob> job = MakeLoadedJob(id, now);
        queue_.Insert(job.get());
        view_.JobAdded(jobs_.Add(std::move(job)).Id());
    }
}

std::vector<TJob*> TZarkellClient::AllJobs() { return jobs_.All(); }

void TZarkellClient::ShowStatus(const std::string& text) {
    if (!closed_) view_.ShowStatus(text);
}

TJob* TZarkellClient::FindJobByName(const std::string& name) const {
    return jobs_.FindByName(name);
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
    for (auto& j : jobs_.Owned()) InitJobActions(*j, false);
    pump_->Drain();
    threads_.clear();
    queue_ = TScheduleQueue();
    for (auto& j : jobs_.Owned()) j->SetActionRunner(nullptr);
    runRequests_.clear();
    jobs_.Clear();
    pump_->Drain();
    modules_->Clear();
    closed_ = true;
    ZK40_TRACE(kTraceShutdown, "TZarkellClient::CloseWindow()");
    return true;
}

}  // namespace zk40
