#pragma once
// The main thread's side of the system update: the requests waiting for a
// worker, the worker's life, when the next configuration run is due, the
// modules that come with the program, and the action types a user loads or
// unloads. The client calls it from its tick; the worker reports through the
// owner it was given, which hands the reports to the main thread.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "store/Store.h"
#include "support/StoreTime.h"
#include "update/Connection.h"
#include "update/UpdateThread.h"

namespace zk40 {

class IClock;
class TModuleHost;

// What the coordinator shows of its own accord: the part of the client's
// view it needs, so that this layer does not depend on the window's
// interface. Called on the main thread; the worker's reports go through
// its owner instead.
class IUpdateView {
public:
    virtual ~IUpdateView() = default;
    // An entry at the end of the update queue branch.
    virtual void QueueBranchAdd(const std::string& text) = 0;
    // Status bar 3's gauge.
    virtual void UpdateProgress(int percent) = 0;
};

class TUpdateCoordinator {
public:
    using ActionType = std::tuple<std::string, std::string, std::string>;

    // The keys are the client's and outlive this. owner: the worker's
    // reports (its Status goes straight through on the main thread, which
    // is where everything here runs).
    TUpdateCoordinator(const TRegKey& base, const TRegKey& product, const TRegKey& actionsKey,
                       TModuleHost& modules, IUpdateView& view, const IClock& clock,
                       IUpdateOwner& owner);
    ~TUpdateCoordinator();

    UpdateSettings& Settings() { return settings_; }
    TConnectionMonitor& Connection() { return connection_; }
    const TConnectionMonitor& Connection() const { return connection_; }
    // Where the modules that come with the program and their configuration
    // are; "" when there are none.
    void SetShippedDataDir(const std::string& dir) { shippedDir_ = dir; }

    // Shows the request in the queue branch and hands it to the worker, or
    // keeps it until one runs.
    void QueueRequest(TQueueURL request);
    const std::vector<TQueueURL>& Pending() const { return pending_; }
    // The crash report of the run that did not end cleanly.
    void QueueCrashReport(StoreTime now);
    // A configuration run now, from source ("" = the update server).
    void StartUpdate(const std::string& source);
    void StartWorkerWithPending();
    bool WorkerExists() const { return worker_ != nullptr; }
    // A configuration run at the next pass, whatever was announced before.
    void ForceUpdate();

    // Set by the worker while it replaces a module (jobs must not start).
    void SetUpdating(bool on) { updating_ = on; }
    bool Updating() const { return updating_; }

    // ---- the tick ----
    // A worker that has ended goes; what was queued meanwhile waits for the
    // next one.
    void ReapWorker();
    // Starts a local or due update, or a worker for waiting requests.
    void Timing(StoreTime now);
    // Whether an idle program must pass at once for the update's sake, else
    // the earliest update moment it must wake for (lowering *due).
    bool NeedsPassNow(StoreTime* due) const;
    // Shutdown: asks a worker to end and waits for it through wait (which
    // keeps the main thread serving) up to ms. False when it did not end.
    bool Stop(const std::function<bool(const std::function<bool()>&, int)>& wait, int ms);

    // ---- the modules that come with the program ----
    // On start: reads the shipped configuration through a local update when
    // the shipped types are not installed yet (or one has gone missing).
    void PrepareShippedModules();

    // ---- action types ----
    // "Load" as the types dialog applies it: LOADED 1, and a module that is
    // not on disk yet is queued for download. One outcome per type, in order.
    enum class TypeOutcome { Loaded, Queued, Failed };
    std::vector<TypeOutcome> SelectActionTypes(const std::vector<ActionType>& types);
    // "Unload": a loaded type lets go of its module; LOADED 0.
    void UnselectActionTypes(const std::vector<ActionType>& types);
    // Types marked for loading while no instance ran (LOADPENDING), loaded
    // or queued as the types dialog would.
    void SelectPendingActionTypes();
    // A request's answer: whether it succeeded, and the text for the user.
    struct Answer {
        bool ok;
        std::string text;
    };
    // "VENDOR:MODULE:ACTION" names loaded or unloaded for another process.
    Answer LoadTypes(bool load, const std::vector<std::string>& names);
    // A module file from disk, installed as an update would.
    Answer InstallFile(const std::string& file);

private:
    TUpdateThread& EnsureWorker(bool* created);
    void SelectShippedModules();
    void CheckShippedInstalled();
    void ResolveShippedUrls(const std::vector<ActionType>& types);

    const TRegKey& base_;
    const TRegKey& product_;
    const TRegKey& actionsKey_;
    TModuleHost& modules_;
    IUpdateView& view_;
    const IClock& clock_;
    IUpdateOwner& owner_;
    UpdateSettings settings_;
    TConnectionMonitor connection_;
    std::vector<TQueueURL> pending_;
    std::unique_ptr<TUpdateThread> worker_;
    std::atomic<bool> updating_{false};
    std::string shippedDir_;
    bool selectShipped_ = false;
    // The shipped action types being installed; ShippedModules is set once
    // all of them are.
    std::vector<ActionType> shippedTypes_;
    bool awaitShipped_ = false;
};

}  // namespace zk40
