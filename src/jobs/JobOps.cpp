#include "jobs/JobOps.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "jobs/Job.h"
#include "jobs/NextRun.h"
#include "store/AppStore.h"
#include "store/RegFile.h"
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
    for (TRegDword* v :
         {&job.Flags, &job.SchedType, &job.Hour, &job.Minute, &job.RetryCount, &job.RetryDelay})
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

std::vector<StoredJobName> StoredJobNames(const TRegKey& jobsKey) {
    std::vector<StoredJobName> out;
    TStore* store = jobsKey.Store();
    if (!store || !jobsKey.IsValid()) return out;
    std::vector<RegKeyValues> keys;
    store->LoadOneLevel(jobsKey.Id(), &keys);
    for (const RegKeyValues& k : keys) {
        if (k.parent != jobsKey.Id() || k.name.size() != 8) continue;
        char* end = nullptr;
        unsigned long id = strtoul(k.name.c_str(), &end, 16);
        if (*end) continue;
        StoredJobName n;
        n.Id = static_cast<uint32_t>(id);
        for (const RegNamedValue& v : k.values)
            if (strcasecmp(v.name.c_str(), "Name") == 0) n.Name = DecodeRegString(v.value.data);
        out.push_back(std::move(n));
    }
    return out;
}

Result NewJob(const TRegKey& jobsKey, const TRegKey& actionsKey, const JobSettings& settings,
              const std::vector<TJob*>& others, const IClock& clock, std::unique_ptr<TJob>* out) {
    return NewJobWithActions(jobsKey, actionsKey, settings, {}, OtherNames(others, nullptr), clock,
                             out);
}

Result NewJobWithActions(const TRegKey& jobsKey, const TRegKey& actionsKey,
                         const JobSettings& settings, const std::vector<NewAction>& actions,
                         const std::vector<std::string>& otherNames, const IClock& clock,
                         std::unique_ptr<TJob>* out) {
    std::string why = settings.Validate(otherNames);
    if (!why.empty()) return Result::Refused(why);
    std::unique_ptr<TJob> job;
    std::string refusal;
    const StoreTime now = clock.Now();
    // The identifier is chosen inside the commit that writes the job, so a
    // second writer cannot take the same one meanwhile.
    bool ok = InOneCommit(jobsKey, [&] {
        job = std::make_unique<TJob>(jobsKey, actionsKey, clock);
        if (!Write(*job, settings)) return false;
        {
            TSync::TLock lock(*job);
            // Nothing was missed before the job existed: without this a
            // daily 02:00 job made at 14:00 would run a minute later as a
            // "catch-up".
            if (job->LastRun.Set(now) != kRegOk || job->State.Set(2) != kRegOk) return false;
            job->ComputeNextRun(now);
        }
        for (const NewAction& a : actions) {
            Result r = AddAction(*job, a);
            if (!r) {
                refusal = r.Error;
                return false;
            }
        }
        return true;
    });
    if (!ok)
        return Result::Refused(!refusal.empty()
                                   ? refusal
                                   : "The store refused to save the new job; nothing was made.");
    *out = std::move(job);
    return {};
}

Result ApplySettings(TJob& job, const JobSettings& settings, const std::vector<TJob*>& others,
                     StoreTime now) {
    return ApplySettings(job, settings, OtherNames(others, &job), now);
}

Result ApplySettings(TJob& job, const JobSettings& settings,
                     const std::vector<std::string>& otherNames, StoreTime now) {
    std::string why = settings.Validate(otherNames);
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
    return Rename(job, name, OtherNames(others, &job));
}

Result Rename(TJob& job, const std::string& name, const std::vector<std::string>& otherNames) {
    JobSettings s = JobSettings::FromJob(job);
    s.Name = name;
    std::string why = s.Validate(otherNames);
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

Result AddAction(TJob& job, const NewAction& a, uint32_t* handle) {
    return AddAction(job, a.Vendor, a.Module, a.Action, a.Name, a.Properties, handle);
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

namespace {

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// The file read and checked: every section lies inside one job of the
// jobs key. ids maps each job's identifier in the file (upper case) to its
// name there.
struct ImportFile {
    RegFileContents contents;
    std::vector<std::string> jobsPath;
    std::map<std::string, std::string> names;
    std::vector<std::string> ids;  // in file order
};

Result ReadImportFile(const std::string& file, ImportFile* out) {
    std::string text, error;
    if (!ReadWholeFile(file, &text, &error))
        return Result::Refused(error + "; nothing was imported.");
    if (!ParseRegFile(text, &out->contents, &error)) return Result::Refused(file + ": " + error);
    SplitUserKeyPath(std::string(kProductKeyFullPath) + "\\jobs", &out->jobsPath, &error);
    const std::vector<std::string>& jobsPath = out->jobsPath;
    std::set<std::string> seen;
    for (const RegFileSection& s : out->contents.sections) {
        bool inside = s.path.size() >= jobsPath.size();
        for (size_t i = 0; inside && i < jobsPath.size(); ++i)
            inside = strcasecmp(s.path[i].c_str(), jobsPath[i].c_str()) == 0;
        if (inside && s.path.size() == jobsPath.size()) {
            // The jobs key itself may head the file, but holds no values.
            if (!s.values.empty())
                return Result::Refused(file + ": line " + std::to_string(s.line) +
                                       ": values directly in the jobs key are not jobs; nothing "
                                       "was imported");
            continue;
        }
        std::string id = inside ? s.path[jobsPath.size()] : "";
        char* end = nullptr;
        if (inside) strtoul(id.c_str(), &end, 16);
        if (!inside || id.size() != 8 || *end)
            return Result::Refused(file + ": line " + std::to_string(s.line) + ": " + s.header +
                                   " is not a job of Zarkell'40; nothing was imported");
        id = Upper(id);
        if (seen.insert(id).second) out->ids.push_back(id);
        if (s.path.size() == jobsPath.size() + 1)
            for (const RegNamedValue& v : s.values)
                if (strcasecmp(v.name.c_str(), "Name") == 0)
                    out->names[id] = DecodeRegString(v.value.data);
    }
    if (out->ids.empty()) return Result::Refused(file + " holds no jobs; nothing was imported");
    std::set<std::string> fileNames;
    for (const auto& [id, name] : out->names)
        if (!fileNames.insert(name).second)
            return Result::Refused(file + " holds two jobs named \"" + name +
                                   "\"; nothing was imported");
    return {};
}

// Decides, against the store as it is now, which identifier each job of
// the file gets and what goes; refuses taken names when adding.
Result PlanImport(const TRegKey& jobsKey, const ImportFile& in, bool replace,
                  std::map<std::string, std::string>* idMap, ImportSummary* summary) {
    std::vector<StoredJobName> here = StoredJobNames(jobsKey);
    std::set<std::string> used;
    if (replace) {
        for (const StoredJobName& j : here) summary->Removed.push_back({j.Id, j.Name});
    } else {
        std::set<std::string> names;
        for (const StoredJobName& j : here) {
            names.insert(j.Name);
            used.insert(TJob::KeyNameOf(j.Id));
        }
        for (const std::string& id : in.ids) {
            auto n = in.names.find(id);
            if (n != in.names.end() && names.count(n->second))
                return Result::Refused("A job named \"" + n->second +
                                       "\" exists already; rename it first.");
        }
    }
    std::set<std::string> inFile(in.ids.begin(), in.ids.end());
    for (const std::string& id : in.ids) {
        std::string to = id;
        if (used.count(id)) {
            for (uint32_t k = static_cast<uint32_t>(rand()) % 32768 + 1;; k = k % 0x7FFFFFFF + 1) {
                std::string cand = TJob::KeyNameOf(k);
                if (!used.count(cand) && !inFile.count(cand)) {
                    to = cand;
                    break;
                }
            }
        }
        used.insert(to);
        (*idMap)[id] = to;
        auto n = in.names.find(id);
        summary->Added.push_back({static_cast<uint32_t>(strtoul(to.c_str(), nullptr, 16)),
                                  n == in.names.end() ? std::string() : n->second});
    }
    return {};
}

}  // namespace

Result PreviewImport(const TRegKey& jobsKey, const std::string& file, bool replace,
                     ImportSummary* summary) {
    ImportFile in;
    if (Result r = ReadImportFile(file, &in); !r) return r;
    *summary = {};
    std::map<std::string, std::string> idMap;
    Result r;
    InOneCommit(jobsKey, [&] {
        r = PlanImport(jobsKey, in, replace, &idMap, summary);
        return false;  // a look only
    });
    return r;
}

Result Import(const TRegKey& jobsKey, const std::string& file, bool replace,
              const std::vector<uint32_t>& busy, ImportSummary* summary) {
    ImportFile in;
    if (Result r = ReadImportFile(file, &in); !r) return r;
    ImportSummary plan;
    Result refusal;
    TStore* store = jobsKey.Store();
    bool ok = InOneCommit(jobsKey, [&] {
        std::map<std::string, std::string> idMap;
        refusal = PlanImport(jobsKey, in, replace, &idMap, &plan);
        if (!refusal) {
            refusal.Error += " Nothing was imported.";
            return false;
        }
        for (const ImportedJob& gone : plan.Removed) {
            for (uint32_t b : busy)
                if (b == gone.Id) {
                    refusal = Result::Refused("\"" + gone.Name +
                                              "\" is running; replacing every job waits until "
                                              "no job runs (nothing was imported).");
                    return false;
                }
            if (store && store->DeleteKeyTree(jobsKey.Id(), TJob::KeyNameOf(gone.Id)) != kRegOk)
                return false;
        }
        const size_t depth = in.jobsPath.size();
        for (const RegFileSection& s : in.contents.sections) {
            if (s.path.size() == depth) continue;
            std::string rel = idMap[Upper(s.path[depth])];
            for (size_t i = depth + 1; i < s.path.size(); ++i) rel += "\\" + s.path[i];
            TRegKey k(jobsKey, rel, true);
            if (!k.IsValid()) return false;
            for (const RegNamedValue& v : s.values)
                if (k.Set(v.name, v.value.type, v.value.data) != kRegOk) return false;
        }
        return true;
    });
    if (!ok) {
        if (!refusal) return refusal;
        return Result::Refused("The store refused the import; nothing was imported.");
    }
    // The removed jobs' identifiers may be given to other jobs later.
    if (store && !plan.Removed.empty())
        if (auto history = TRunHistory::Open(*store))
            for (const ImportedJob& gone : plan.Removed) {
                bool kept = false;
                for (const ImportedJob& a : plan.Added) kept |= a.Id == gone.Id;
                if (!kept) history->ForgetJob(gone.Id);
            }
    *summary = std::move(plan);
    return {};
}

}  // namespace zk40::jobops
