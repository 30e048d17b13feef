#pragma once
// The update worker: one background thread that fetches the configuration
// from the update server and drains a first-in first-out queue of downloads
// (module archives, action data, executable upgrades, crash reports).
#include <atomic>
#include <deque>
#include <vector>
#include <functional>
#include <memory>
#include <string>

#include "store/Store.h"
#include "support/StoreTime.h"
#include "support/Sync.h"
#include "support/Thread.h"
#include "update/Fetch.h"
#include "update/UpdateProgress.h"

namespace zk40 {

struct TQueueURL {
    enum Kind { ActionData, ModuleArchive, ExecutableUpgrade, CrashReport };

    std::string Source;
    std::string Target;
    std::string VendorID, ModuleID, ActionID;
    uint8_t Refetch = 0;
    uint8_t ModuleArchiveFlag = 0;
    uint8_t ActionDataFlag = 0;
    uint8_t CrashReportFlag = 0;
    uint8_t Reserved = 0;
    // What the queue branch shows for it.
    std::string Text;

    Kind GetKind() const {
        if (CrashReportFlag) return CrashReport;
        if (ActionDataFlag) return ActionData;
        return ModuleArchiveFlag ? ModuleArchive : ExecutableUpgrade;
    }

    static TQueueURL MakeActionData(std::string source, std::string vendor, std::string module,
                                    std::string action, const std::string& label);
    static TQueueURL MakeModuleArchive(std::string source, std::string target, std::string vendor,
                                       std::string module, std::string action, bool refetch,
                                       const std::string& label);
    static TQueueURL MakeExecutableUpgrade(std::string source, std::string target);
    static TQueueURL MakeCrashReport(std::string source);
};

// What the worker needs from the client. Every call comes from the worker
// thread; the client hands what needs the main thread over to it.
class IUpdateOwner : public IUpdateProgress {
public:
    // The queue branch of the display.
    virtual void QueueBranchAdd(const std::string& text) = 0;
    virtual void QueueBranchRemoveFirst() = 0;
    // Installs or loads a module on the main thread and waits for the answer.
    enum class Install { Failed, Loaded, RestartNeeded };
    virtual Install InstallModule(const std::string& path, const std::string& vendor,
                               const std::string& module, const std::string& action) = 0;
    virtual void SetUpdating(bool on) = 0;
    // Asked of the main thread; true while any job runs.
    virtual bool JobsRunning() = 0;
    // An executable upgrade started: end the program.
    virtual void QuitForUpgrade() = 0;
    // Puts a request made by the start-up checks into this worker's queue.
    virtual StoreTime Now() const = 0;
};

struct UpdateSettings {
    std::string helpDir;
    std::string tempDir;  // "" = the program's private download folder
    uint32_t buildNumber = 29;
    int retryPollMs = 1000;  // while waiting for jobs before an upgrade
    FetchOptions fetch;
};

// The address of the configuration: "httpz://" + server +
// "/cgi-bin/zk40.update.pl" + URLADDON. A server given with "https://"
// keeps its TLS ("httpsz://"). Empty when no server is set.
std::string ConfigurationUrl(const std::string& server, const std::string& urlAddon);

class TUpdateThread : public TThread, public TSync {
public:
    TUpdateThread(IUpdateOwner& owner, const TRegKey& productKey, UpdateSettings settings);
    ~TUpdateThread() override;

    void Enqueue(TQueueURL request);
    size_t QueueSize() const;
    // What is still queued once the worker has ended: a request queued just
    // after its last look at the queue, or the rest of a run that an archive
    // error ended. Handed back so that it is not lost with the worker.
    std::vector<TQueueURL> TakeQueued();
    void SetLocalSource(const std::string& source);
    void RequestTermination() override;
    // Whether the last install of the run failed (the closing text says so).
    bool LastInstallFailed() const { return lastInstallFailed_; }

protected:
    int Run() override;

private:
    void ConfigurationRun();
    void Process(const TQueueURL& q);
    bool Download(const TQueueURL& q, const std::string& downloadFile);
    void InstallArchive(const TQueueURL& q, const std::string& archive);
    void InstallUpgrade(const std::string& program);
    // Queued: a module archive, an upgrade or a crash report; QueuedData:
    // an action data file, parsed like a configuration.
    enum class FetchKind { NetworkConfiguration, LocalConfiguration, Queued, QueuedData };
    bool Fetch(const std::string& url, const std::string& destination, FetchKind kind);
    std::string TempFile();

    IUpdateOwner& owner_;
    const TRegKey& product_;
    UpdateSettings settings_;
    std::deque<TQueueURL> queue_;
    std::string localSource_;
    std::atomic<bool> stop_{false};
    bool lastInstallFailed_ = false;
    bool endRun_ = false;
};

// Compares installed with announced versions and queues what is missing:
// an executable upgrade, module archives and action data. Runs on the main
// thread after the modules are loaded and on the worker after each
// configuration run.
void RunStartupChecks(const TRegKey& productKey, IUpdateProgress& progress,
                      const std::function<void(TQueueURL)>& queue, StoreTime now,
                      uint32_t buildNumber, const std::string& tempDir);

}  // namespace zk40
