// The operations on jobs. The window, its dialogs, the command line (over
// the instance socket) and hand-overs all come here, so a job is changed
// one way whichever face asked: validate and write (jobs/JobOps.h), put the
// job back into the queue with the cause of the change, tell the view.
#include <algorithm>

#include "base/Client.h"
#include "base/Service.h"
#include "jobs/ActionHandle.h"
#include "jobs/ClientView.h"
#include "jobs/JobDisplay.h"
#include "store/AppStore.h"
#include "store/RegFile.h"

namespace zk40 {

TJob* TZarkellClient::FindJob(uint32_t id) const { return jobs_.Find(id); }

bool TZarkellClient::JobRunning(const TJob& job) const {
    for (auto& t : threads_)
        if (&t->Job() == &job) return true;
    return false;
}

std::vector<uint32_t> TZarkellClient::RunningJobIds() const {
    std::vector<uint32_t> ids;
    ids.reserve(threads_.size());
    for (auto& t : threads_) ids.push_back(t->Job().Id());
    return ids;
}

std::string TZarkellClient::JobName(const TJob& job) const {
    TSync::TLock lock(job);
    return job.Name.Get();
}

TJob& TZarkellClient::TakeInNewJob(std::unique_ptr<TJob> job) {
    TJob& j = *job;
    j.SetActionRunner(this);
    {
        TSync::TLock lock(j);
        for (size_t p = 0; TAction* a = j.ActionAt(p); ++p) {
            TSync::TLock al(*a);
            a->Ready = 1;
        }
    }
    jobs_.Add(std::move(job));
    RecordPrint(j, nullptr);
    InitJobActions(j, true);
    queue_.Insert(&j);
    view_.JobAdded(j.Id());
    return j;
}

void TZarkellClient::Requeue(TJob& job) {
    // A running job is not in the queue; its reaping queues it.
    if (!JobRunning(job)) {
        queue_.Remove(&job);
        queue_.Insert(&job);
    }
    view_.JobChanged(job.Id());
}

jobops::Result TZarkellClient::NewJob(const JobSettings& settings,
                                      const std::vector<jobops::NewAction>& actions, uint32_t* id) {
    CheckStoreChanged();
    std::unique_ptr<TJob> job;
    jobops::Result r =
        jobops::NewJobWithActions(app_.jobs, actionsKey_, settings, actions,
                                  jobops::OtherNames(AllJobs(), nullptr), clock_, &job);
    if (!r) return r;
    app_.SaveFlagBits();
    TJob& j = TakeInNewJob(std::move(job));
    if (id) *id = j.Id();
    return {};
}

jobops::Result TZarkellClient::ApplySettings(uint32_t id, const JobSettings& settings) {
    CheckStoreChanged();
    TJob* job = FindJob(id);
    if (!job) return jobops::Result::Refused("There is no such job.");
    jobops::Result r =
        jobops::ApplySettings(*job, settings, jobops::OtherNames(AllJobs(), job), clock_.Now());
    if (r) Requeue(*job);
    return r;
}

jobops::Result TZarkellClient::EditJob(uint32_t id, const ScheduleInput& input) {
    CheckStoreChanged();
    TJob* job = FindJob(id);
    if (!job) return jobops::Result::Refused("There is no such job.");
    JobSettings s = JobSettings::FromJob(*job);
    if (std::string why = ApplyScheduleInput(input, s, clock_.Now()); !why.empty())
        return jobops::Result::Refused(why);
    return ApplySettings(id, s);
}

bool TZarkellClient::RunRequested(uint32_t id) const {
    return std::find(runRequests_.begin(), runRequests_.end(), id) != runRequests_.end();
}

jobops::Result TZarkellClient::RunNow(uint32_t id, RunOutcome* outcome) {
    CheckStoreChanged();
    // A run that has just ended is no longer running, though no pass has
    // collected it yet.
    ReapThreads();
    TJob* job = FindJob(id);
    if (!job || deletedWhileBusy_.count(id))
        return jobops::Result::Refused("There is no such job.");
    RunOutcome out = Paused() ? RunOutcome::QueuedPaused : RunOutcome::Started;
    if (RunRequested(id)) {
        out = RunOutcome::Waiting;
    } else {
        if (JobRunning(*job))
            return jobops::Result::Refused("\"" + JobName(*job) + "\" is already running");
        runRequests_.push_back(id);
        queue_.Remove(job);
        {
            TSync::TLock lock(*job);
            job->State = +JobState::Completed;
        }
        // Shown as due now; the request, not the next run, makes it start.
        job->RunNow(clock_.Now());
        queue_.Insert(job);
        view_.JobChanged(id);
    }
    if (outcome) *outcome = out;
    return {};
}

void TZarkellClient::StartRequestedRuns() {
    if (runRequests_.empty()) return;
    std::vector<uint32_t> asked;
    asked.swap(runRequests_);
    for (uint32_t id : asked) {
        TJob* job = FindJob(id);
        if (!job) continue;
        if (JobRunning(*job)) {
            // Its run by schedule began first; this one follows it.
            runRequests_.push_back(id);
            continue;
        }
        queue_.Remove(job);
        StartJob(*job, true);
    }
}

jobops::Result TZarkellClient::RenameJob(uint32_t id, const std::string& name) {
    CheckStoreChanged();
    TJob* job = FindJob(id);
    if (!job) return jobops::Result::Refused("There is no such job.");
    size_t b = name.find_first_not_of(" \t");
    size_t e = name.find_last_not_of(" \t");
    const std::string trimmed = b == std::string::npos ? std::string() : name.substr(b, e - b + 1);
    jobops::Result r = jobops::Rename(*job, trimmed, jobops::OtherNames(AllJobs(), job));
    if (r) view_.JobChanged(id);
    return r;
}

jobops::Result TZarkellClient::SetJobEnabled(uint32_t id, bool enabled) {
    CheckStoreChanged();
    TJob* job = FindJob(id);
    if (!job) return jobops::Result::Refused("There is no such job.");
    jobops::Result r = jobops::SetEnabled(*job, enabled, clock_.Now());
    if (r) Requeue(*job);
    return r;
}

std::string TZarkellClient::DeleteJob(uint32_t id) {
    CheckStoreChanged();
    ReapThreads();
    TJob* job = FindJob(id);
    if (!job || deletedWhileBusy_.count(id)) return "There is no such job.";
    if (JobRunning(*job)) return jobops::kDeleteRunningText;
    InitJobActions(*job, false);
    jobops::Result done = jobops::DeleteJob(*job);
    if (!done) {
        InitJobActions(*job, true);
        return done.Error;
    }
    DropJob(job);
    return {};
}

std::string TZarkellClient::DeleteAction(uint32_t handle) {
    TAction* a = ResolveActionHandle(handle);
    if (!a) return "There is no such action.";
    TJob& job = *a->Job();
    {
        TSync::TLock lock(*a);
        if (a->Running) return "You cannot delete an action while it is running!";
        a->Ready = 0;
    }
    ActionIdentity id = a->Identity();
    if (auto m = modules_->FindModule(id.vendor, id.module); m && m->IsLoaded())
        m->DeinitAction(Hwnd(), id.action, handle);
    if (!job.DeleteAction(handle)) {
        TSync::TLock lock(*a);
        a->Ready = 1;
        return "You cannot delete an action while it is running!";
    }
    view_.ActionsChanged(job.Id());
    return {};
}

jobops::Result TZarkellClient::AddAction(uint32_t id, const jobops::NewAction& action,
                                         uint32_t* handle) {
    CheckStoreChanged();
    ReapThreads();
    TJob* job = FindJob(id);
    if (!job) return jobops::Result::Refused("There is no such job.");
    // The run walks the job's actions; the list does not change under it.
    if (JobRunning(*job))
        return jobops::Result::Refused("\"" + JobName(*job) +
                                       "\" is running; add the action once its run has ended.");
    uint32_t h = 0;
    jobops::Result r = jobops::AddAction(*job, action, &h);
    if (!r) return r;
    auto m = modules_->FindModule(action.Vendor, action.Module);
    if (firstTickDone_ && m && m->IsLoaded() &&
        modules_->IsActionTypePresent(action.Vendor, action.Module, action.Action))
        m->InitAction(Hwnd(), action.Action, h);
    if (TAction* a = ResolveActionHandle(h)) {
        TSync::TLock lock(*a);
        a->Ready = 1;
    }
    view_.ActionsChanged(id);
    view_.JobChanged(id);
    if (handle) *handle = h;
    return {};
}

bool TZarkellClient::AbortJob(uint32_t id) {
    TJob* job = FindJob(id);
    if (!job) return false;
    uint32_t current;
    {
        TSync::TLock lock(*job);
        // Stopped by hand: no retry.
        job->RetriesDone = static_cast<int16_t>(job->RetryCount.Get());
        current = job->CurrentAction;
    }
    return current > TJob::kRunStarting && AbortAction(current);
}

bool TZarkellClient::AbortAction(uint32_t handle) {
    TAction* a = ResolveActionHandle(handle);
    if (!a) return false;
    {
        TSync::TLock lock(*a);
        if (!a->Running) return false;
    }
    return StopAction(*a);
}

bool TZarkellClient::MoveAction(uint32_t handle, size_t to) {
    TAction* a = ResolveActionHandle(handle);
    if (!a) return false;
    TJob& job = *a->Job();
    if (JobRunning(job)) return false;
    TAction* target = job.ActionAt(to);
    if (!target || target == a) return false;
    uint32_t from = a->Index(), toIndex = target->Index();
    InitJobActions(job, false);
    bool ok = job.MoveAction(from, toIndex);
    InitJobActions(job, true);
    for (size_t p = 0; TAction* moved = job.ActionAt(p); ++p) {
        TSync::TLock lock(*moved);
        moved->Ready = 1;
    }
    view_.ActionsChanged(job.Id());
    view_.JobChanged(job.Id());
    return ok;
}

uint32_t TZarkellClient::InsertAction(uint32_t jobId, const std::string& vendor,
                                      const std::string& module, const std::string& action) {
    TJob* job = FindJob(jobId);
    auto m = modules_->FindModule(vendor, module);
    if (!job || !m || !m->IsLoaded() || JobRunning(*job)) return 0;
    uint32_t h = job->AddAction(vendor, module, action);
    if (!h) return 0;
    if (!m->Preferences(Hwnd(), action, h)) {
        job->DeleteAction(h);
        return 0;
    }
    if (modules_->IsActionTypePresent(vendor, module, action)) m->InitAction(Hwnd(), action, h);
    if (TAction* a = ResolveActionHandle(h)) {
        TSync::TLock lock(*a);
        a->Ready = 1;
    }
    view_.ActionsChanged(jobId);
    return h;
}

std::string TZarkellClient::EditActionPreferences(uint32_t handle) {
    TAction* a = ResolveActionHandle(handle);
    if (!a) return "There is no such action.";
    {
        TSync::TLock lock(*a);
        a->Ready = 0;
        if (a->Running) {
            a->Ready = 1;
            return "You cannot edit the properties for an action while it is running!";
        }
    }
    ActionIdentity id = a->Identity();
    if (auto m = modules_->FindModule(id.vendor, id.module))
        m->Preferences(Hwnd(), id.action, handle);
    if ((a = ResolveActionHandle(handle))) {
        TSync::TLock lock(*a);
        a->Ready = 1;
    }
    view_.ActionChanged(handle, ActionField::Name);
    view_.ChildrenChanged(handle);
    return {};
}

bool TZarkellClient::ActionModuleLoaded(uint32_t handle) const {
    TAction* a = ResolveActionHandle(handle);
    if (!a) return false;
    ActionIdentity id = a->Identity();
    return modules_->FindModule(id.vendor, id.module) &&
           modules_->IsActionTypePresent(id.vendor, id.module, id.action);
}

std::string TZarkellClient::ExportJobs(const std::string& file) {
    std::string error;
    if (!app_.Store()) return "the store is not open";
    if (!SaveKeyToFile(*app_.Store(), app_.jobs.Id(), std::string(kProductKeyFullPath) + "\\jobs",
                       file, false, &error))
        return error.empty() ? "cannot write " + file : error;
    return {};
}

jobops::Result TZarkellClient::PreviewImport(const std::string& file, bool replace,
                                             jobops::ImportSummary* summary) {
    CheckStoreChanged();
    return jobops::PreviewImport(app_.jobs, file, replace, summary);
}

jobops::Result TZarkellClient::ImportJobs(const std::string& file, bool replace,
                                          jobops::ImportSummary* summary) {
    CheckStoreChanged();
    ReapThreads();
    std::vector<TJob*> before = AllJobs();
    // Replacing: the modules let go of the old actions first, and take them
    // back when the import is refused.
    if (replace)
        for (TJob* j : before)
            if (!JobRunning(*j)) InitJobActions(*j, false);
    jobops::ImportSummary done;
    jobops::Result r = jobops::Import(app_.jobs, file, replace, RunningJobIds(), &done);
    if (!r) {
        if (replace)
            for (TJob* j : before)
                if (!JobRunning(*j)) InitJobActions(*j, true);
        return r;
    }
    for (const jobops::ImportedJob& gone : done.Removed)
        if (TJob* j = FindJob(gone.Id)) {
            // Already let go of above.
            j->SetActionRunner(nullptr);
            queue_.Remove(j);
            unboundPrints_.erase(gone.Id);
            changedWhileBusy_.erase(gone.Id);
            deletedWhileBusy_.erase(gone.Id);
            runRequests_.erase(std::remove(runRequests_.begin(), runRequests_.end(), gone.Id),
                               runRequests_.end());
            jobs_.Remove(j);
            view_.JobRemoved(gone.Id);
        }
    std::vector<uint32_t> fresh;
    for (const jobops::ImportedJob& a : done.Added) fresh.push_back(a.Id);
    ReloadJobs({}, std::move(fresh), nullptr);
    if (summary) *summary = std::move(done);
    return {};
}

JobAnswer TZarkellClient::Perform(const JobRequest& rq) {
    auto answer = [&rq](const jobops::Result& r, uint32_t id = 0, std::string text = {}) {
        if (!r) return JobAnswer::Refused(r.Error);
        return JobAnswer{true, id ? id : rq.id, std::move(text)};
    };
    switch (rq.op) {
        case JobRequest::Op::New: {
            JobSettings s;
            if (std::string why = ApplyScheduleInput(rq.input, s, clock_.Now()); !why.empty())
                return JobAnswer::Refused(why);
            uint32_t id = 0;
            jobops::Result r = NewJob(s, rq.actions, &id);
            return answer(r, id);
        }
        case JobRequest::Op::Edit:
            return answer(EditJob(rq.id, rq.input));
        case JobRequest::Op::RunNow: {
            RunOutcome out = RunOutcome::Started;
            jobops::Result r = RunNow(rq.id, &out);
            if (TJob* job = r ? FindJob(rq.id) : nullptr) {
                const std::string name = JobName(*job);
                ShowStatus("Run Job:  " + (out == RunOutcome::Waiting
                                               ? "\"" + name + "\" is already waiting to run"
                                           : out == RunOutcome::QueuedPaused
                                               ? "Queued \"" + name + "\": the scheduler is paused"
                                               : "Starting \"" + name + "\""));
            }
            return answer(r, 0,
                          out == RunOutcome::Waiting        ? kRunWaiting
                          : out == RunOutcome::QueuedPaused ? kRunQueuedPaused
                                                            : kRunStarted);
        }
        case JobRequest::Op::Rename:
            return answer(RenameJob(rq.id, rq.text));
        case JobRequest::Op::SetEnabled:
            return answer(SetJobEnabled(rq.id, rq.flag));
        case JobRequest::Op::Delete: {
            std::string why = DeleteJob(rq.id);
            return answer(why.empty() ? jobops::Result{} : jobops::Result::Refused(why));
        }
        case JobRequest::Op::AddAction:
            if (rq.actions.size() != 1) return JobAnswer::Refused("Name one action to add.");
            return answer(AddAction(rq.id, rq.actions[0]));
        case JobRequest::Op::Import: {
            jobops::ImportSummary summary;
            jobops::Result r = ImportJobs(rq.text, rq.flag, &summary);
            return answer(r, 0, std::to_string(summary.Added.size()));
        }
    }
    return JobAnswer::Refused("unknown operation");
}

}  // namespace zk40
