#include "jobs/JobOps.h"

#include "jobs/Job.h"
#include "scheduler/NextRun.h"
#include "store/RunHistory.h"
#include "store/Store.h"

namespace zk40::jobops {

namespace {

// Runs work in one commit of the job's store (or plainly without a store).
template <typename F>
bool InOneCommit(const TRegKey& key, F&& work) {
    if (TStore* store = key.Store()) return store->Transaction(std::forward<F>(work));
    return work();
}

// Writes every field of the settings; false at the first refusal.
bool Write(TJob& job, const JobSettings& s) {
    TSync::TLock lock(job);
    const StoreTime startDay = StartOfDay(job.StartTime);
    const StoreTime stopDay = StartOfDay(job.StopTime);
    bool ok = job.Name.Set(s.Name) == kRegOk && job.Flags.Set(s.FlagsWith(job.Flags)) == kRegOk &&
              job.Password.Set(s.Password) == kRegOk && job.SchedType.Set(s.SchedType) == kRegOk &&
              job.Time.Set(s.Time) == kRegOk && job.Hour.Set(s.Hour) == kRegOk &&
              job.Minute.Set(s.Minute) == kRegOk &&
              job.StartTime.Set(startDay + s.WindowStart) == kRegOk &&
              job.StopTime.Set(stopDay + s.WindowStop) == kRegOk &&
              job.RetryCount.Set(s.RetryCount) == kRegOk &&
              job.RetryDelay.Set(s.RetryDelay) == kRegOk && job.SetEnabled(s.Enabled) == kRegOk;
    job.RefreshFlagBits();
    return ok;
}

// After a rolled-back commit the bound values must follow the store again.
void Reload(TJob& job) {
    TSync::TLock lock(job);
    job.Name.Reload();
    job.Password.Reload();
    for (TRegDword* v : {&job.Flags, &job.SchedType, &job.Hour, &job.Minute, &job.RetryCount,
                         &job.RetryDelay})
        v->Reload();
    for (TRegTime* t : {&job.Time, &job.StartTime, &job.StopTime}) t->Reload();
    job.RefreshFlagBits();
}

Result StoreRefused(const TJob& job) {
    return Result::Refused("The store refused to save job \"" + JobSettings::FromJob(job).Name +
                           "\"; nothing was changed.");
}

}  // namespace

std::vector<std::string> OtherNames(const std::vector<TJob*>& jobs, const TJob* except) {
    std::vector<std::string> out;
    out.reserve(jobs.size());
    for (TJob* j : jobs) {
        if (j == except) continue;
        TSync::TLock lock(*j);
        out.push_back(j->Name.Get());
    }
    return out;
}

Result NewJob(const TRegKey& jobsKey, const TRegKey& actionsKey, const JobSettings& settings,
              const std::vector<TJob*>& others, const IClock& clock, std::unique_ptr<TJob>* out) {
    std::string why = settings.Validate(OtherNames(others, nullptr));
    if (!why.empty()) return Result::Refused(why);
    std::unique_ptr<TJob> job;
    const StoreTime now = clock.Now();
    bool ok = InOneCommit(jobsKey, [&] {
        job = std::make_unique<TJob>(jobsKey, actionsKey, clock);
        if (!Write(*job, settings)) return false;
        TSync::TLock lock(*job);
        // Nothing was missed before the job existed: without this a daily
        // 02:00 job made at 14:00 would run a minute later as a "catch-up".
        if (job->LastRun.Set(now) != kRegOk || job->State.Set(2) != kRegOk) return false;
        job->ComputeNextRun(now);
        return true;
    });
    if (!ok) return Result::Refused("The store refused to save the new job; nothing was made.");
    *out = std::move(job);
    return {};
}

Result ApplySettings(TJob& job, const JobSettings& settings, const std::vector<TJob*>& others,
                     StoreTime now) {
    std::string why = settings.Validate(OtherNames(others, &job));
    if (!why.empty()) return Result::Refused(why);
    // The job's lock comes before the store's, as everywhere.
    TSync::TLock lock(job);
    if (!InOneCommit(job.Key(), [&] {
            if (!Write(job, settings)) return false;
            // An edit is not a run: a failure gets no fresh retry from it.
            job.ComputeNextRun(now, NextRunCause::Changed);
            return true;
        })) {
        Reload(job);
        return StoreRefused(job);
    }
    return {};
}

Result Rename(TJob& job, const std::string& name, const std::vector<TJob*>& others) {
    JobSettings s = JobSettings::FromJob(job);
    s.Name = name;
    std::string why = s.Validate(OtherNames(others, &job));
    if (!why.empty()) return Result::Refused(why);
    TSync::TLock lock(job);
    if (job.Name.Set(name) != kRegOk) return StoreRefused(job);
    return {};
}

Result SetEnabled(TJob& job, bool enabled, StoreTime now) {
    TSync::TLock lock(job);
    if (!InOneCommit(job.Key(), [&] {
            if (job.SetEnabled(enabled) != kRegOk) return false;
            job.ComputeNextRun(now, NextRunCause::Changed);
            return true;
        }))
        return StoreRefused(job);
    return {};
}

Result AddAction(TJob& job, std::string_view vendorId, std::string_view moduleId,
                 std::string_view actionId, std::string_view name,
                 const std::vector<ActionProperty>& properties, uint32_t* handle) {
    if (vendorId.empty() || moduleId.empty() || actionId.empty())
        return Result::Refused("An action type is named by its vendor, module and action.");
    for (std::string_view part : {vendorId, moduleId, actionId})
        if (part.find('\\') != std::string_view::npos || part.find(':') != std::string_view::npos)
            return Result::Refused("\"" + std::string(part) +
                                   "\" cannot name part of an action type.");
    uint32_t h = 0;
    TSync::TLock lock(job);
    bool ok = InOneCommit(job.Key(), [&] {
        h = job.AddAction(vendorId, moduleId, actionId);
        if (!h) return false;
        TAction* a = job.FindAction(h);
        {
            TSync::TLock al(*a);
            if (a->Name.Set(name) != kRegOk) return false;
        }
        for (const ActionProperty& p : properties) {
            TPropertyRequest rq;
            rq.Id = p.Id;
            rq.Code = p.IsText ? 2 : 1;
            rq.Text = p.Text;
            rq.Number = p.Number;
            if (!job.SetProperty(h, rq)) return false;
        }
        return true;
    });
    if (!ok) {
        // The rolled-back action may still be in memory; drop it there too.
        if (h) job.DeleteAction(h);
        return StoreRefused(job);
    }
    if (handle) *handle = h;
    return {};
}

Result DeleteJob(TJob& job, bool runningElsewhere) {
    TSync::TLock lock(job);
    if (runningElsewhere || job.CurrentAction != 0) return Result::Refused(kDeleteRunningText);
    const uint32_t id = job.Id();
    const TRegKey& key = job.Key();
    TStore* store = key.Store();
    bool ok = InOneCommit(key, [&] {
        while (TAction* a = job.ActionAt(job.ActionCount() ? job.ActionCount() - 1 : 0)) {
            if (!job.DeleteAction(a->Handle())) return false;
        }
        std::string keyName(job.KeyName());
        job.DeleteValues();
        // Anything else left under the key (a stray subkey) goes with it.
        if (store) {
            KeyId parent = store->ParentOf(key.Id());
            if (key.IsValid()) store->DeleteKeyTree(parent, keyName);
        }
        return true;
    });
    if (!ok) return StoreRefused(job);
    if (store) {
        if (auto history = TRunHistory::Open(*store)) history->ForgetJob(id);
    }
    return {};
}

}  // namespace zk40::jobops
