#pragma once
// One run of one job on a worker thread of its own. While it works, a run
// record under crash\jobs names the job and the action being run, so that a
// crash in the middle of an action is reported at the next start.
#include <atomic>
#include <cstdint>
#include <string>

#include "jobs/Job.h"
#include "store/Store.h"
#include "support/Sync.h"
#include "support/Thread.h"

namespace zk40 {

// What the run loop needs from the client.
class IJobHost {
public:
    virtual ~IJobHost() = default;
    // Runs the action through its module on the calling (job) thread.
    virtual bool RunAction(TAction& action) = 0;
    // Posts a status text of an action to the main thread (0x1402).
    virtual void PostActionStatus(uint32_t handle, const std::string& text) = 0;
    virtual StoreTime Now() const = 0;
};

inline constexpr char kSkippingText[] = "Action Status: Skipping Action...";
inline constexpr char kDelayingText[] =
    "Action Status: Delaying While Properties Are Being Edited...";

// The action loop of one run. Returns 1 when the loop ran, 0 when the job
// was already running. `record` is the open run record; `actionsKey` the
// module catalogue (for RUNLEVEL); `stop` ends a wait for an action whose
// properties are being edited.
int RunJob(TJob& job, const std::string& recordName, const TRegKey& record,
           const TRegKey& actionsKey, IJobHost& host, const std::atomic<bool>* stop = nullptr);

class TJobThread : public TThread, public TSync {
public:
    TJobThread(TJob& job, IJobHost& host, const TRegKey& crashKey, const TRegKey& actionsKey);
    ~TJobThread() override;

    // Starts the thread with a run record number no other running job
    // thread has.
    void StartRun();
    TJob& Job() const { return job_; }
    // Also ends a wait for an action whose settings are being edited.
    void RequestTermination() override {
        stop_ = true;
        TThread::RequestTermination();
    }
    uint32_t RunRecordNumber() const;
    std::string RunRecordName() const;

protected:
    int Run() override;

private:
    TJob& job_;
    IJobHost& host_;
    const TRegKey& crashKey_;
    const TRegKey& actionsKey_;
    uint32_t runRecord_ = 0;
    std::atomic<bool> stop_{false};
};

}  // namespace zk40
