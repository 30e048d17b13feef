#pragma once
// One run of one job on a worker thread. While it works, a run record under
// crash\jobs names the job and the action being run, so that a crash in the
// middle of an action is reported at the next start.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "jobs/Job.h"
#include "scheduler/JobRunners.h"
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
    // An action's run begins, and it has ended. Both are queued behind what
    // was posted before, so the end shows the status that the run itself
    // reported (or fallbackText when it reported none), never an older one.
    virtual void PostActionStarting(uint32_t handle) = 0;
    virtual void PostActionEnded(uint32_t handle, const std::string& fallbackText) = 0;
    // Runs call on the main thread, queued behind everything posted before.
    virtual void PostToMainThread(std::function<void()> call) = 0;
    virtual StoreTime Now() const = 0;
};

inline constexpr char kSkippingText[] = "Action Status: Skipping Action...";
inline constexpr char kDelayingText[] =
    "Action Status: Delaying While Properties Are Being Edited...";
// What an action shows after a run in which its module reported nothing.
inline constexpr char kCompletedText[] = "Action Status: Completed";
inline constexpr char kFailedText[] = "Action Status: Failed";
inline constexpr char kNotRunText[] =
    "Action Status: Not Run, The Program Closed While Its Properties Were Edited";

// The job whose run the calling thread is carrying out (inside RunJob), or
// nullptr. That job cannot be deleted meanwhile, so its actions can be
// looked up from this thread under the job's lock.
TJob* JobRunOnThisThread();

// The action loop of one run. Returns 1 when the loop ran, 0 when the job
// was already running. `record` is the open run record; `actionsKey` the
// module catalogue (for RUNLEVEL); `stop` ends a wait for an action whose
// properties are being edited.
int RunJob(TJob& job, const std::string& recordName, const TRegKey& record,
           const TRegKey& actionsKey, IJobHost& host, const std::atomic<bool>* stop = nullptr);

// One run of one job. It is carried out by one of the job runners (see
// JobRunners.h); to its owner it looks like a thread of its own: running from
// StartRun until its body has finished, then ended.
class TJobThread : public TJobRun, public TSync {
public:
    TJobThread(TJob& job, IJobHost& host, const TRegKey& crashKey, const TRegKey& actionsKey,
               TJobRunners& runners);
    ~TJobThread() override;

    // Queues the run with a run record number no other running job has.
    // Throws TThread::TThreadError when no thread can carry it out.
    void StartRun();
    TJob& Job() const { return job_; }
    // Also ends a wait for an action whose settings are being edited.
    void RequestTermination() { stop_ = true; }
    uint32_t RunRecordNumber() const;
    std::string RunRecordName() const;

    // Running from StartRun until the body has finished.
    TThread::TStatus CurrentStatus() const { return status_.load(std::memory_order_acquire); }
    // As TThread::WaitForEnd.
    uint32_t WaitForEnd(int timeoutMs);
    // Called on the runner once the status reads Ended; it must not use this
    // object, which may be going.
    void SetEndedCallback(std::function<void()> callback) { ended_ = std::move(callback); }

    void Execute() override;

private:
    void Body();

    TJob& job_;
    IJobHost& host_;
    const TRegKey& crashKey_;
    const TRegKey& actionsKey_;
    TJobRunners& runners_;
    uint32_t runRecord_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<TThread::TStatus> status_{TThread::NotStarted};
    std::function<void()> ended_;
    std::mutex doneMutex_;
    std::condition_variable doneChanged_;
    bool done_ = false;
};

}  // namespace zk40
