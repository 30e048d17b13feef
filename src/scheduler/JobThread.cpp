#include "scheduler/JobThread.h"

#include <chrono>
#include <cstdio>

#include "jobs/JobDisplay.h"
#include "scheduler/RunRecorder.h"
#include "store/RegValue.h"
#include "zk40/module.h"

namespace zk40 {

namespace {
std::atomic<uint32_t> gNextRunRecord{1};
thread_local TJob* tRunningJob = nullptr;

struct RunningJobScope {
    explicit RunningJobScope(TJob& job) : previous(tRunningJob) { tRunningJob = &job; }
    ~RunningJobScope() { tRunningJob = previous; }
    TJob* previous;
};

const char* const kActionValues[] = {"Action-VID", "Action-MID", "Action-AID", "Action-NAM",
                                     "Action-ST1", "Action-ST2", "Action-PER"};

// Groups a few writes into one commit; with no store they just run.
template <typename F>
void InTransaction(const TRegKey& key, F&& work) {
    if (!key.Store()) return work();
    key.Store()->Transaction([&] {
        work();
        return true;
    });
}

bool RunsAfterFailure(const TRegKey& actionsKey, const std::string& vendor,
                      const std::string& module, const std::string& action) {
    TRegKey type(actionsKey, vendor + "\\" + module + "\\" + action);
    TRegString runLevel(type, "RUNLEVEL", "");
    return runLevel.Get() == "1";
}
}  // namespace

TJob* JobRunOnThisThread() { return tRunningJob; }

int RunJob(TJob& job, const std::string& recordName, const TRegKey& record,
           const TRegKey& actionsKey, IJobHost& host, const std::atomic<bool>* stop) {
    {
        TSync::TLock lock(job);
        job.State = +JobState::Running;
        if (job.CurrentAction != 0) return 0;
        job.CurrentAction = TJob::kRunStarting;
        // Record names are eight hex digits and always fit.
        snprintf(job.RunRecordName, sizeof job.RunRecordName, "%s", recordName.c_str());
    }
    RunningJobScope running(job);
    bool failed = false;
    for (size_t pos = 0;; ++pos) {
        TAction* action;
        {
            TSync::TLock lock(job);
            action = job.ActionAt(pos);
            if (!action) break;
            job.CurrentAction = action->Handle();
        }
        std::string vendor, module, actionId, name;
        uint32_t handle;
        {
            TSync::TLock lock(*action);
            vendor = action->VendorID.Get();
            module = action->ModuleID.Get();
            actionId = action->ActionID.Get();
            name = action->Name.Get();
            handle = action->Handle();
        }
        bool skip = failed && !RunsAfterFailure(actionsKey, vendor, module, actionId);
        if (skip) {
            {
                TSync::TLock lock(*action);
                action->LastStat = 0;
            }
            host.PostActionStatus(handle, kSkippingText);
            continue;
        }
        bool ready;
        {
            TSync::TLock lock(*action);
            action->Running = 1;
            ready = action->Ready != 0;
        }
        if (!ready) {
            host.PostActionStatus(handle, kDelayingText);
            for (;;) {
                {
                    TSync::TLock lock(*action);
                    ready = action->Ready != 0;
                }
                if (ready || (stop && stop->load())) break;
                usleep(100 * 1000);
            }
        }
        host.PostActionStarting(handle);
        bool ok = false;
        if (!ready) {
            // The program is closing while the action still waits for its
            // settings: it never ran, and counts as failed.
            failed = true;
        } else {
            // One commit for the four values: a crash sees all or none.
            InTransaction(record, [&] {
                record.SetString("Action-VID", vendor);
                record.SetString("Action-MID", module);
                record.SetString("Action-AID", actionId);
                record.SetString("Action-NAM", name);
            });
            ok = host.RunAction(*action);
            if (!ok) failed = true;
            InTransaction(record, [&] {
                for (const char* v : kActionValues) record.DeleteValue(v);
            });
        }
        {
            TSync::TLock lock(*action);
            action->Running = 0;
            action->LastStat = ok ? 0 : 1;
        }
        // Not Status as read here: texts the run posted may still be on
        // their way to the main thread.
        host.PostActionEnded(handle, !ready ? kNotRunText : ok ? kCompletedText : kFailedText);
    }
    TSync::TLock lock(job);
    job.LastStat = failed ? 1 : 0;
    if (!failed) job.RetriesDone = 0;
    job.CurrentAction = 0;
    job.RunRecordName[0] = '\0';
    return 1;
}

TJobThread::TJobThread(TJob& job, IJobHost& host, const TRegKey& crashKey,
                       const TRegKey& actionsKey, TJobRunners& runners)
    : job_(job), host_(host), crashKey_(crashKey), actionsKey_(actionsKey), runners_(runners) {}

TJobThread::~TJobThread() {
    // Owners wait first; this only guards against a run outliving us.
    if (CurrentStatus() == TThread::Running) stop_ = true;
    WaitForEnd(-1);
}

void TJobThread::StartRun() {
    {
        TLock lock(*this);
        runRecord_ = gNextRunRecord.fetch_add(1);
    }
    status_.store(TThread::Running, std::memory_order_release);
    try {
        runners_.Submit(this);
    } catch (...) {
        status_.store(TThread::Failed, std::memory_order_release);
        throw;
    }
}

uint32_t TJobThread::WaitForEnd(int timeoutMs) {
    const TThread::TStatus status = CurrentStatus();
    if (status != TThread::Running && status != TThread::Ended) return TThread::kWaitNotRunning;
    // An ended run may still be on its way out of Execute: the wait for done_
    // is what makes it safe to destroy this object afterwards.
    std::unique_lock<std::mutex> lock(doneMutex_);
    const auto done = [this] { return done_; };
    if (timeoutMs < 0) {
        doneChanged_.wait(lock, done);
    } else if (!doneChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done)) {
        return TThread::kWaitTimeout;
    }
    return status == TThread::Running ? TThread::kWaitEnded : TThread::kWaitNotRunning;
}

void TJobThread::Execute() {
    try {
        Body();
    } catch (const std::exception& e) {
        // The runner carries on with the next run; this one failed.
        std::fprintf(stderr, "Error[thread]: unhandled exception in a job run: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Error[thread]: unhandled exception in a job run\n");
    }
    status_.store(TThread::Ended, std::memory_order_release);
    // Copied first: once done_ is set the owner may destroy this object.
    std::function<void()> ended = ended_;
    if (ended) ended();
    {
        std::lock_guard<std::mutex> lock(doneMutex_);
        done_ = true;
        // Notified under the lock: the waiter may destroy this object as
        // soon as it sees done_.
        doneChanged_.notify_all();
    }
}

uint32_t TJobThread::RunRecordNumber() const {
    TLock lock(*this);
    return runRecord_;
}

std::string TJobThread::RunRecordName() const {
    char buf[16];
    snprintf(buf, sizeof buf, "%08X", RunRecordNumber());
    return buf;
}

void TJobThread::Body() {
    std::string name = RunRecordName();
    TRegKey jobs(crashKey_, "jobs");
    {
        std::string jobName;
        {
            TLock lock(job_);
            jobName = job_.Name.Get();
        }
        TRegKey record;
        InTransaction(jobs, [&] {
            record = TRegKey(jobs, name);
            record.SetDword("StartTime", host_.Now());
            record.SetString("Name", jobName);
        });
        // Each finished run is kept in the run history.
        TRunRecorder recorder(host_);
        const StoreTime start = host_.Now();
        if (RunJob(job_, name, record, actionsKey_, recorder, &stop_)) recorder.Write(job_, start);
    }
    jobs.DeleteSubKeyTree(name);
}

}  // namespace zk40
