#pragma once
// The client core: owns the jobs, their worker threads, the schedule queue
// and the loaded modules, runs the 100 ms scheduler tick on the main thread
// and answers every message of the module contract. The view shows what it
// is told; nothing here depends on widgets.
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "base/JobRegistry.h"
#include "base/MessagePump.h"
#include "base/ViewAdapter.h"
#include "jobs/Job.h"
#include "jobs/JobOps.h"
#include "jobs/JobRequest.h"
#include "modules/HostServices.h"
#include "modules/ModuleHost.h"
#include "scheduler/JobThread.h"
#include "scheduler/ScheduleQueue.h"
#include "store/AppPaths.h"
#include "support/StoreTime.h"
#include "update/UpdateCoordinator.h"

namespace zk40 {

class TAppStore;
class TService;
class IClientView;
struct StoredJobs;

class TZarkellClient : public QObject,
                       public IActionRunner,
                       public IJobHost,
                       public IModuleHostOwner {
    Q_OBJECT
public:
    TZarkellClient(TAppStore& app, const AppPaths& paths, const IClock& clock, IClientView& view,
                   TService* service, QObject* parent = nullptr);
    ~TZarkellClient() override;

    // Loads the jobs, queues them and arms the scheduler timer.
    void SetupWindow();
    // The orderly shutdown; safe to call more than once. False when a job
    // thread did not end within the shutdown bound and was abandoned.
    bool CloseWindow();
    // The option layer on an argument string, as typed in one piece.
    void ProcessCommandLine(const std::string& args);

    // ---- requests from other processes (InstanceRequest.h) ----
    struct RequestResult {
        bool ok = true;
        std::string text;
    };
    // Carries out one request line and returns the answer line.
    std::string AnswerRequest(const std::string& line);
    // The option layer on arguments as a process received them, ours or
    // handed over; the result says what became of a /runjob.
    RequestResult ProcessArguments(const std::vector<std::string>& args);
    // Another process wrote to the store: jobs added there are loaded,
    // changed ones are read again and get a fresh next run, deleted ones
    // leave the queue. A job that is running (or whose actions are being
    // edited) keeps its run; the change is applied when it is reaped.
    struct StoreSyncCounts {
        size_t added = 0, changed = 0, removed = 0, deferred = 0;
    };
    StoreSyncCounts TakeInStoreChanges();
    // Takes in the store's changes when another process wrote to it since
    // the last look; cheap when nothing happened. The store watch and a
    // RELOAD request both come here, so one write is compared once,
    // whichever of them comes first.
    StoreSyncCounts CheckStoreChanged();

    // What the start found in the crash marker; the first tick acts on it.
    void SetCrashInfo(bool crashDetected, StoreTime previousStartup) {
        crashDetected_ = crashDetected;
        previousStartup_ = previousStartup;
    }
    bool CrashDetected() const { return crashDetected_; }

    // One tick, as the timer runs it.
    void EvTimer();
    bool StartJob(TJob& job);
    // Timer ticks aligned to the wall clock (on by default; tests that drive
    // the ticks themselves turn it off).
    void SetTickAlignment(bool on) { alignTicks_ = on; }
    // While the window is shown the tick keeps its 100 ms pace (it animates
    // running nodes); otherwise an idle program sleeps until something is
    // due.
    void SetKeepTicking(bool on);
    // True while the program sleeps between passes because nothing runs
    // and nothing is due.
    bool Sleeping() const { return sleeping_; }
    // The longest sleep of an idle program: it bounds the cost of an event
    // we could not be woken by (a machine resumed from suspend). Each wake
    // costs about a millisecond with ten thousand jobs, so five minutes keeps
    // the idle cost far below a once-a-minute poll.
    static constexpr int64_t kMaxIdleSleepMs = 300000;
    void EnableScheduler(bool on) { schedulerEnabled_ = on; }
    bool SchedulerEnabled() const { return schedulerEnabled_; }
    // Whether the service is paused (SIGUSR1): nothing starts, every
    // request is still answered.
    bool Paused() const;
    // The wall clock was set: every queued job gets a fresh next run.
    void ClockChanged();
    // The local time's UTC offset moved by shift seconds (daylight saving
    // began or ended); the scheduling pass notices it by itself.
    void UtcOffsetChanged(int64_t shift);

    // ---- operations on jobs: the one path of the window, its dialogs, the
    // command line (over the instance socket) and hand-overs ----
    // Each takes in what other programs changed first, validates, writes in
    // one commit, puts the job back into the queue with the cause of the
    // change, and tells the view. The refusals are the texts a user sees.
    TJob* FindJob(uint32_t id) const;
    // True while the job's thread exists (it runs or waits to be reaped).
    bool JobRunning(const TJob& job) const;
    std::vector<uint32_t> RunningJobIds() const;
    // A new job with these settings and first actions; *id gets its id.
    jobops::Result NewJob(const JobSettings& settings,
                          const std::vector<jobops::NewAction>& actions = {},
                          uint32_t* id = nullptr);
    // Edited settings (a dialog's OK); an edit never makes or moves a retry.
    jobops::Result ApplySettings(uint32_t id, const JobSettings& settings);
    // Options as typed, applied to the job as it is now: only what they name
    // changes.
    jobops::Result EditJob(uint32_t id, const ScheduleInput& input);
    // A run by hand. Accepted runs are kept until they start, whatever is
    // done to the job meanwhile (an edit, a reload); a job whose run waits
    // already gets no second one. Refused while the job runs.
    enum class RunOutcome { Started, Waiting, QueuedPaused };
    jobops::Result RunNow(uint32_t id, RunOutcome* outcome = nullptr);
    bool RunRequested(uint32_t id) const;
    // Spaces around the name are dropped.
    jobops::Result RenameJob(uint32_t id, const std::string& name);
    jobops::Result SetJobEnabled(uint32_t id, bool enabled);
    // "" when done, else why not.
    std::string DeleteJob(uint32_t id);
    std::string DeleteAction(uint32_t handle);
    // Appends an action (set up with its module when that is loaded).
    jobops::Result AddAction(uint32_t id, const jobops::NewAction& action,
                             uint32_t* handle = nullptr);
    // Stops the running action of a job (which then does not retry), or one
    // action. False when nothing was running.
    bool AbortJob(uint32_t id);
    bool AbortAction(uint32_t handle);
    // Moves the action of handle to position `to` (from 0) of its job, its
    // module told before and after. False when the job runs or the move
    // failed.
    bool MoveAction(uint32_t handle, size_t to);
    // Adds an action of that type to the job; its module edits its settings
    // first, and a refusal there removes it again. 0 when not added.
    uint32_t InsertAction(uint32_t jobId, const std::string& vendor, const std::string& module,
                          const std::string& action);
    // The module's own settings of an action; a running action is refused.
    std::string EditActionPreferences(uint32_t handle);
    // An action counts as loaded when its module is and its type is enabled.
    bool ActionModuleLoaded(uint32_t handle) const;
    // Connection type 0, 1 or 2, with the status text that goes with it.
    void SetConnectionType(uint32_t type);
    // The jobs to a .reg file; "" when done, else the reason.
    std::string ExportJobs(const std::string& file);
    // Jobs from a .reg file, taken in at once: added to the jobs there are,
    // or (replace) in place of all of them. Preview says what an import
    // would do without doing it.
    jobops::Result PreviewImport(const std::string& file, bool replace,
                                 jobops::ImportSummary* summary);
    jobops::Result ImportJobs(const std::string& file, bool replace,
                              jobops::ImportSummary* summary = nullptr);
    // A request of the command line, carried out by the operations above.
    JobAnswer Perform(const JobRequest& rq);

    // How long shutdown waits for job threads after asking them to stop.
    void SetShutdownWaitMs(int ms) { shutdownWaitMs_ = ms; }

    // ---- queries ----
    const std::vector<std::unique_ptr<TJob>>& Jobs() const { return jobs_.Owned(); }
    TJob* FindJobByName(const std::string& name) const;
    const TScheduleQueue& Queue() const { return queue_; }
    size_t RunningThreads() const { return threads_.size(); }
    TModuleHost& Modules() { return *modules_; }
    TAppStore& App() const { return app_; }
    const IClock& Clock() const { return clock_; }
    // The dialog the first windowed start asks the connection type with;
    // without one (headless) the first start settles on no connection.
    void SetConnectionDialog(ConnectionDialog ask) { askConnection_ = std::move(ask); }

    // ---- system update (main thread) ----
    TUpdateCoordinator& Updates() { return *updates_; }
    bool UpdateRunning() const { return updates_->WorkerExists(); }
    TMessagePump& Pump() { return *pump_; }

    // A module's synchronous message: what a job thread can answer for its
    // own job is answered there, the rest waits for the main thread.
    intptr_t HostSend(uint32_t msg, uintptr_t wparam, intptr_t lparam);
    ZKHwnd Hwnd() override { return this; }
    const TRegKey& ActionsKey() const { return actionsKey_; }

    // ---- IActionRunner / IJobHost (RunAction runs on job threads) ----
    bool StopAction(TAction& action) override;
    bool RunAction(TAction& action) override;
    void PostActionStatus(uint32_t handle, const std::string& text) override;
    void PostActionStarting(uint32_t handle) override;
    void PostActionEnded(uint32_t handle, const std::string& fallbackText) override;
    void PostToMainThread(std::function<void()> call) override;
    StoreTime Now() const override { return clock_.Now(); }

    // ---- IModuleHostOwner ----
    std::vector<TJob*> AllJobs() override;
    bool AnyJobRunning() override;
    void SetUpdating(bool on) override { updates_->SetUpdating(on); }
    bool Updating() const { return updates_->Updating(); }
    bool WaitServing(const std::function<bool()>& done, int timeoutMs) override;
    // Whether the program was asked to stop; asked by waits that would
    // otherwise hold the main thread beyond the shutdown bound.
    void SetStopQuery(std::function<bool()> query) { stopQuery_ = std::move(query); }
    bool StopRequested() override { return stopQuery_ && stopQuery_(); }
    void ShowStatus(const std::string& text) override;

    // The host function table every module gets.
    static const ZKHostFunctions* HostFunctions();

private:
    void LoadJobs();
    void LoadJobsNow();
    void FirstTick();
    void ReapThreads();
    void StartDueJobs(StoreTime now);
    // Any thread: a job thread has ended; the main thread collects it soon.
    void JobThreadEnded();
    // Main thread: collects ended job threads.
    void CollectEndedThreads();
    void MarkStarted(TJob& job);
    bool StartJob(TJob& job, bool mark);
    void Rearm();
    bool Idle() const;
    // Milliseconds from now until the next pass an idle program needs, or
    // -1 when something is due now.
    int64_t IdleSleepMs() const;
    // Runs whenever the event loop is about to wait: an event that made
    // work (a hand-over, a queued request, a module's message, a signal)
    // ends the sleep, and one that made something due sooner shortens it.
    void CheckSleep();
    // One look at the connection; for dial-up it also starts listening to
    // link notifications, which then trigger the looks.
    void PollConnection(uint32_t connType);
    class UpdateBridge;
    friend class UpdateBridge;
    void WatchClock();
    // ComputeNextRun, and a word when the job's kind is unknown.
    void Reschedule(TJob& job, StoreTime now, NextRunCause cause = NextRunCause::Schedule);
    RequestResult StartRunJobFromStore();
    // ---- taking in outside changes of jobs (ClientStoreSync.cpp) ----
    // A job read from the store, idle and scheduled; retriesDone carries the
    // retries a reloaded job had already used.
    std::unique_ptr<TJob> MakeLoadedJob(uint32_t id, StoreTime now, int16_t retriesDone = 0,
                                        NextRunCause cause = NextRunCause::Schedule);
    bool JobMatchesStore(TJob& job, const StoredJobs& stored);
    // Remembers the values of the job key that no member holds, from stored
    // or (null) from the store.
    void RecordPrint(TJob& job, const StoredJobs* stored);
    void RecordLoadedPrints();
    bool JobBusy(const TJob& job) const;
    void InitJobActions(TJob& job, bool init);
    void DropJob(TJob* job);
    // A job made or loaded here: owned, queued, shown, and known as it is in
    // the store, so that its own values are never taken for another
    // program's change.
    TJob& TakeInNewJob(std::unique_ptr<TJob> job);
    // Starts the runs asked for by hand that can start.
    void StartRequestedRuns();
    // The job's settings or schedule changed outside a run: back into the
    // queue at its new place, and the view told.
    void Requeue(TJob& job);
    std::string JobName(const TJob& job) const;
    void ReloadJob(TJob* job);
    // Builds changed jobs again and loads new ones from the store. runEnded:
    // the changed jobs' runs have just ended (a change that waited for it).
    void ReloadJobs(const std::vector<TJob*>& changed, std::vector<uint32_t> fresh,
                    const StoredJobs* stored, bool runEnded = false);
    // Applies a change that waited for the job's run to end; true when the
    // job was replaced or removed (and must not be touched again).
    bool ApplyDeferredChange(TJob* job);
    // Takes in another process's commit as soon as the store's files change.
    void WatchStoreFile();
    // Writes every job back at shutdown, except what changed underneath.
    void SaveJobs();

    TAppStore& app_;
    AppPaths paths_;
    const IClock& clock_;
    ConnectionDialog askConnection_;
    IClientView& view_;
    // view_ as the host services and the update coordinator take it.
    TViewAdapter viewAdapter_{view_};
    TService* service_;
    QTimer timer_;
    TRegKey actionsKey_;
    TRegKey crashKey_;
    std::unique_ptr<TMessagePump> pump_;
    // A collection of ended job threads is posted to the main thread (set
    // by the threads as they end, which may be while threads_ goes).
    std::atomic<bool> collectPosted_{false};
    std::unique_ptr<TModuleHost> modules_;
    std::unique_ptr<THostServices> services_;
    TJobRegistry jobs_;
    // Runs asked for by hand, in the order asked, until they start.
    std::vector<uint32_t> runRequests_;
    // Carry out the runs in threads_; declared first, so it goes after them.
    TJobRunners runners_;
    std::vector<std::unique_ptr<TJobThread>> threads_;
    TScheduleQueue queue_;
    std::unique_ptr<UpdateBridge> bridge_;
    std::unique_ptr<TUpdateCoordinator> updates_;
    bool schedulerEnabled_ = true;
    bool firstTickDone_ = false;
    int16_t tickCounter_ = 0;
    bool closed_ = false;
    bool crashDetected_ = false;
    StoreTime previousStartup_ = 0;
    int shutdownWaitMs_ = 30000;
    bool alignTicks_ = true;
    bool keepTicking_ = false;
    bool sleeping_ = false;
    // The pause the tick last saw, so that it is told once.
    bool pausedSeen_ = false;
    // Jobs started in one go before the main thread answers those started,
    // for the first turns of a burst (about the round trips a module makes
    // before its program starts).
    static constexpr size_t kStartsPerTurn = 32;
    static constexpr int kAnsweredTurns = 10;
    bool inStartDueJobs_ = false;
    // Whether the heap is to be trimmed when the program next goes to sleep.
    bool trimWhenIdle_ = true;
    int clockFd_ = -1;
    long utcOffset_ = 0;
    std::function<bool()> stopQuery_;
    QSocketNotifier* clockNotifier_ = nullptr;
    QSocketNotifier* linkNotifier_ = nullptr;
    // Outside changes: the store's data version last looked at, the jobs
    // whose change waits for their run to end, and a print of each job's
    // values that no member holds.
    int64_t seenDataVersion_ = -1;
    std::set<uint32_t> changedWhileBusy_;
    std::set<uint32_t> deletedWhileBusy_;
    std::map<uint32_t, uint64_t> unboundPrints_;
    int storeWatchFd_ = -1;
    QSocketNotifier* storeNotifier_ = nullptr;
};

}  // namespace zk40
