#include "jobs/Snapshot.h"

#include "jobs/ActionHandle.h"
#include "jobs/Job.h"

namespace zk40 {

JobSnapshot SnapshotJob(const TJob& job) {
    JobSnapshot s;
    TSync::TLock lock(job);
    s.id = job.Id();
    s.name = job.Name.Get();
    s.schedType = job.SchedType.Get();
    s.lastStat = job.LastStat.Get();
    s.state = job.State.Get();
    s.lastRun = job.LastRun.Get();
    s.nextRun = job.NextRun.Get();
    s.currentAction = job.CurrentAction > TJob::kRunStarting ? job.CurrentAction : 0;
    s.actionCount = static_cast<uint32_t>(job.ActionCount());
    return s;
}

bool SnapshotAction(uint32_t handle, ActionSnapshot* out) {
    TAction* a = ResolveActionHandle(handle);
    if (!a) return false;
    TJob* job = a->Job();
    // The job's lock before the action's, as everywhere.
    TSync::TLock jobLock(*job);
    TSync::TLock lock(*a);
    out->handle = handle;
    out->jobId = job->Id();
    out->jobName = job->Name.Get();
    out->name = a->Name.Get();
    out->status = a->Status.Get();
    out->status2 = a->Status2.Get();
    out->percent = a->Percent.Get();
    out->lastStat = a->LastStat.Get();
    out->running = a->Running != 0;
    out->vendorId = a->VendorID.Get();
    out->moduleId = a->ModuleID.Get();
    out->actionId = a->ActionID.Get();
    return true;
}

}  // namespace zk40
