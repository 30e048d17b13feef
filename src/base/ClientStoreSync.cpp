// Jobs changed in the store by another process (the store editor, the job
// command, a second program on the same store) while this one runs.
//
// Every member of a job is written through, so what this process holds in
// memory always equals what it last wrote. A stored value that differs from
// the member can only have come from outside; that is how a changed job is
// told from one this process merely ran. Values of the job key that no
// member holds are compared with a print taken when the job was loaded.
#include <strings.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <unordered_map>

#include "base/Client.h"
#include "jobs/ClientView.h"
#include "jobs/JobDisplay.h"
#include "store/AppStore.h"
#include "store/Trace.h"

namespace zk40 {

namespace {

const RegNamedValue* FindValue(const std::vector<RegNamedValue>& vals, std::string_view name) {
    for (const RegNamedValue& v : vals)
        if (v.name.size() == name.size() &&
            strncasecmp(v.name.data(), name.data(), name.size()) == 0)
            return &v;
    return nullptr;
}

// A value that is gone differs; one that cannot be read as a number was
// read as the member's default and so tells nothing.
bool Same(const std::vector<RegNamedValue>& vals, const TRegDword& member) {
    const RegNamedValue* v = FindValue(vals, member.Name());
    if (!v) return false;
    uint32_t stored;
    return !DecodeDword(v->value.data, &stored) || stored == member.Get();
}

bool Same(const std::vector<RegNamedValue>& vals, const TRegString& member) {
    const RegNamedValue* v = FindValue(vals, member.Name());
    return v && DecodeRegString(v->value.data) == member.Get();
}

bool IsBoundJobValue(std::string_view name) {
    static const char* const kBound[] = {
        "Name",     "Flags",    "Password",   "SchedType",  "Time",       "Hour",
        "Minute",   "LastRun",  "NextRun",    "State",      "NumActions", "StartTime",
        "StopTime", "LastStat", "RetryCount", "RetryDelay", "Disabled"};
    for (const char* b : kBound)
        if (name.size() == strlen(b) && strncasecmp(name.data(), b, name.size()) == 0) return true;
    return false;
}

uint64_t Fnv(uint64_t h, std::string_view bytes) {
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    return (h ^ 0xFF) * 1099511628211ull;
}

uint64_t UnboundValuesPrint(const std::vector<RegNamedValue>& vals) {
    uint64_t h = 14695981039346656037ull;
    for (const RegNamedValue& v : vals) {
        if (IsBoundJobValue(v.name)) continue;
        std::string lower = v.name;
        for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        h = Fnv(Fnv(Fnv(h, lower), std::to_string(v.value.type)), v.value.data);
    }
    return h;
}

bool ParseActionIndex(const std::string& n, uint32_t* index) {
    if (n.size() != 9 || (n[0] != 'A' && n[0] != 'a')) return false;
    char* end = nullptr;
    unsigned long v = strtoul(n.c_str() + 1, &end, 16);
    if (!end || *end != '\0' || v == 0) return false;
    *index = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

// The job keys and their action keys with all their values, read at once.
struct StoredJobs {
    std::vector<RegKeyValues> keys;
    std::unordered_map<KeyId, size_t> byId;
    std::unordered_map<KeyId, std::vector<size_t>> children;
    std::vector<uint32_t> ids;  // job identifiers, sorted
    bool Has(uint32_t id) const { return std::binary_search(ids.begin(), ids.end(), id); }
    const RegKeyValues* Key(KeyId id) const {
        auto it = byId.find(id);
        return it == byId.end() ? nullptr : &keys[it->second];
    }

    // Without the actions when only the jobs' own values are wanted: the
    // actions' keys are most of the store.
    explicit StoredJobs(const TRegKey& jobs, bool withActions = true) {
        if (!jobs.IsValid()) return;
        if (withActions)
            jobs.Store()->LoadTwoLevels(jobs.Id(), &keys);
        else
            jobs.Store()->LoadOneLevel(jobs.Id(), &keys);
        for (size_t i = 0; i < keys.size(); ++i) {
            byId[keys[i].id] = i;
            children[keys[i].parent].push_back(i);
            // Identifiers from the key names, as the loader reads them.
            if (keys[i].parent == jobs.Id() && keys[i].name.size() < 10)
                ids.push_back(static_cast<uint32_t>(strtoul(keys[i].name.c_str(), nullptr, 16)));
        }
        std::sort(ids.begin(), ids.end());
    }
};

void TZarkellClient::RecordPrint(TJob& job, const StoredJobs* stored) {
    TSync::TLock lock(job);
    const std::vector<RegNamedValue>* vals = nullptr;
    if (stored) {
        if (const RegKeyValues* k = stored->Key(job.Key().Id())) vals = &k->values;
    } else {
        vals = job.Key().CachedValues();
    }
    static const std::vector<RegNamedValue> kNone;
    unboundPrints_[job.Id()] = UnboundValuesPrint(vals ? *vals : kNone);
    // The bound members hold the values; the key's copy is not kept.
    if (!stored) job.Key().DropSnapshot();
}

std::unique_ptr<TJob> TZarkellClient::MakeLoadedJob(uint32_t id, StoreTime now, int16_t retriesDone,
                                                    NextRunCause cause) {
    auto job = std::make_unique<TJob>(app_.jobs, actionsKey_, id, clock_);
    job->SetActionRunner(this);
    {
        TSync::TLock lock(*job);
        job->State = +JobState::Completed;
        job->RetriesDone = retriesDone;
        for (size_t p = 0; TAction* a = job->ActionAt(p); ++p) {
            TSync::TLock al(*a);
            a->Ready = 1;
        }
    }
    Reschedule(*job, now, cause);
    return job;
}

bool TZarkellClient::JobMatchesStore(TJob& job, const StoredJobs& stored) {
    TSync::TLock lock(job);
    const RegKeyValues* key = stored.Key(job.Key().Id());
    if (!key) return false;  // gone, or made anew under the same name
    const std::vector<RegNamedValue>& vals = key->values;
    const TRegDword* numbers[] = {&job.Flags,      &job.SchedType, &job.Time,     &job.Hour,
                                  &job.Minute,     &job.LastRun,   &job.NextRun,  &job.State,
                                  &job.NumActions, &job.StartTime, &job.StopTime, &job.LastStat,
                                  &job.RetryCount, &job.RetryDelay};
    for (const TRegDword* n : numbers)
        if (!Same(vals, *n)) return false;
    if (!Same(vals, job.Name) || !Same(vals, job.Password)) return false;
    // Disabled is kept only while set; gone means enabled.
    const RegNamedValue* off = FindValue(vals, "Disabled");
    uint32_t flag = 0;
    bool storedOff = off && DecodeDword(off->value.data, &flag) && flag != 0;
    if (storedOff == job.Enabled()) return false;

    std::vector<uint32_t> storedActions, held;
    auto kids = stored.children.find(key->id);
    if (kids != stored.children.end())
        for (size_t i : kids->second) {
            uint32_t index;
            if (ParseActionIndex(stored.keys[i].name, &index)) storedActions.push_back(index);
        }
    for (size_t p = 0; TAction* a = job.ActionAt(p); ++p) held.push_back(a->Index());
    std::sort(storedActions.begin(), storedActions.end());
    std::sort(held.begin(), held.end());
    if (held != storedActions) return false;
    for (size_t p = 0; TAction* a = job.ActionAt(p); ++p) {
        TSync::TLock al(*a);
        const RegKeyValues* ak = stored.Key(a->Key().Id());
        if (!ak) return false;
        if (!Same(ak->values, a->Name) || !Same(ak->values, a->VendorID) ||
            !Same(ak->values, a->ModuleID) || !Same(ak->values, a->ActionID))
            return false;
    }
    auto it = unboundPrints_.find(job.Id());
    return it != unboundPrints_.end() && it->second == UnboundValuesPrint(vals);
}

bool TZarkellClient::JobBusy(const TJob& job) const {
    for (const auto& t : threads_)
        if (&t->Job() == &job) return true;
    TSync::TLock lock(job);
    for (size_t p = 0; TAction* a = job.ActionAt(p); ++p) {
        TSync::TLock al(*a);
        if (!a->Ready) return true;
    }
    return false;
}

void TZarkellClient::InitJobActions(TJob& job, bool init) {
    // Before the first tick no module is loaded; loading them then sets up
    // the actions of every job there is.
    if (!firstTickDone_) return;
    for (size_t p = 0;; ++p) {
        std::string v, m, id;
        uint32_t handle;
        {
            TSync::TLock lock(job);
            TAction* a = job.ActionAt(p);
            if (!a) break;
            TSync::TLock al(*a);
            v = a->VendorID.Get();
            m = a->ModuleID.Get();
            id = a->ActionID.Get();
            handle = a->Handle();
        }
        auto module = modules_->FindModule(v, m);
        if (!module || !module->IsLoaded()) continue;
        if (TRegKey(actionsKey_, v + "\\" + m + "\\" + id, false).GetDword("LOADED") != 1) continue;
        if (init)
            module->InitAction(Hwnd(), id, handle);
        else
            module->DeinitAction(Hwnd(), id, handle);
    }
}

void TZarkellClient::DropJob(TJob* job) {
    uint32_t id = job->Id();
    queue_.Remove(job);
    InitJobActions(*job, false);
    job->SetActionRunner(nullptr);
    unboundPrints_.erase(id);
    changedWhileBusy_.erase(id);
    deletedWhileBusy_.erase(id);
    runRequests_.erase(std::remove(runRequests_.begin(), runRequests_.end(), id),
                       runRequests_.end());
    jobs_.Remove(job);
    view_.JobRemoved(id);
}

void TZarkellClient::ReloadJob(TJob* job) { ReloadJobs({job}, {}, nullptr, true); }

void TZarkellClient::ReloadJobs(const std::vector<TJob*>& changed, std::vector<uint32_t> fresh,
                                const StoredJobs* stored, bool runEnded) {
    // The old objects (and their action handles) go first: a module must
    // never see two live handles for one stored action.
    std::vector<uint32_t> ids;  // the changed ones first
    // The retries a failed job has used are no stored value: read again, a
    // job whose retries were used up would be retried afresh (and run again
    // at once with no delay set).
    std::map<uint32_t, int16_t> retries;
    for (TJob* job : changed) {
        uint32_t id = job->Id();
        {
            TSync::TLock lock(*job);
            retries[id] = job->RetriesDone;
        }
        queue_.Remove(job);
        InitJobActions(*job, false);
        job->SetActionRunner(nullptr);
        changedWhileBusy_.erase(id);
        if (!jobs_.Remove(job)) continue;
        ids.push_back(id);
    }
    ids.insert(ids.end(), fresh.begin(), fresh.end());
    // Read in one transaction: another process cannot write between our
    // look at a value and the default we store where one is missing, and a
    // thousand jobs cost one commit.
    std::vector<std::unique_ptr<TJob>> made;
    auto load = [&] {
        StoreTime now = clock_.Now();
        for (uint32_t id : ids) {
            auto r = retries.find(id);
            // A changed job whose run did not just end has not run: reading
            // it again must not make it due (a retry, say) once more.
            if (r == retries.end())
                made.push_back(MakeLoadedJob(id, now));
            else
                made.push_back(MakeLoadedJob(
                    id, now, r->second, runEnded ? NextRunCause::Schedule : NextRunCause::Changed));
        }
        return true;
    };
    if (app_.Store())
        app_.Store()->Transaction(load);
    else
        load();
    std::vector<TJob*> placed;
    for (std::unique_ptr<TJob>& job : made) placed.push_back(&jobs_.Add(std::move(job)));
    for (TJob* job : placed) {
        // From the read that found the change when there was one: a write
        // since then only costs one more reload.
        RecordPrint(*job, stored);
        InitJobActions(*job, true);
        queue_.Insert(job);
        // New objects, new action handles: the view builds the job again.
        view_.JobAdded(job->Id());
        view_.ActionsChanged(job->Id());
        view_.JobChanged(job->Id());
    }
}

bool TZarkellClient::ApplyDeferredChange(TJob* job) {
    if (deletedWhileBusy_.count(job->Id())) {
        ShowStatus("Jobs:  \"" + job->Name.Get() + "\" was deleted; its last run has ended");
        DropJob(job);
        return true;
    }
    if (changedWhileBusy_.count(job->Id())) {
        ReloadJob(job);
        return true;
    }
    return false;
}

TZarkellClient::StoreSyncCounts TZarkellClient::TakeInStoreChanges() {
    StoreSyncCounts counts;
    if (closed_) return counts;
    TStore* store = app_.Store();
    if (!store) return counts;
    seenDataVersion_ = store->DataVersion();
    const StoredJobs stored(app_.jobs);

    // Looked at outside any transaction: a job thread holds its job's lock
    // while it writes, so taking job locks under the store's would invert
    // that order.
    std::vector<TJob*> gone, changed;
    std::set<uint32_t> held;
    for (auto& j : jobs_.Owned()) {
        held.insert(j->Id());
        if (!stored.Has(j->Id()))
            gone.push_back(j.get());
        else if (!JobMatchesStore(*j, stored))
            changed.push_back(j.get());
    }
    for (TJob* job : gone) {
        ++counts.removed;
        if (JobBusy(*job)) {
            // The run ends first; the job leaves when it is reaped.
            queue_.Remove(job);
            deletedWhileBusy_.insert(job->Id());
            ++counts.deferred;
            continue;
        }
        DropJob(job);
    }
    std::vector<TJob*> reload;
    for (TJob* job : changed) {
        ++counts.changed;
        if (JobBusy(*job)) {
            changedWhileBusy_.insert(job->Id());
            ++counts.deferred;
            continue;
        }
        reload.push_back(job);
    }
    std::vector<uint32_t> fresh;
    for (uint32_t id : stored.ids)
        if (!held.count(id)) fresh.push_back(id);
    counts.added = fresh.size();
    if (!reload.empty() || !fresh.empty()) ReloadJobs(reload, std::move(fresh), &stored);
    if (counts.added || counts.changed || counts.removed) {
        ZK40_TRACE(kTraceGeneral, "TZarkellClient::TakeInStoreChanges()");
        std::string text = "Jobs:  Taken in from the store: " + std::to_string(counts.added) +
                           " added, " + std::to_string(counts.changed) + " changed, " +
                           std::to_string(counts.removed) + " deleted";
        if (counts.deferred)
            text += " (" + std::to_string(counts.deferred) + " when their run ends)";
        ShowStatus(text);
    }
    return counts;
}

void TZarkellClient::RecordLoadedPrints() {
    const StoredJobs stored(app_.jobs, false);
    for (auto& j : jobs_.Owned()) RecordPrint(*j, &stored);
}

TZarkellClient::StoreSyncCounts TZarkellClient::CheckStoreChanged() {
    TStore* store = app_.Store();
    if (!store || closed_) return {};
    if (store->DataVersion() != seenDataVersion_) return TakeInStoreChanges();
    return {};
}

void TZarkellClient::WatchStoreFile() {
    // Another process's commit shows up as a write to the store's files (the
    // write-ahead log, mostly). Our own writes do too; telling them apart
    // costs one look at the data version. This way a change is taken in at
    // once even when nobody tells us of it and no tick is due.
    TStore* store = app_.Store();
    if (!store || storeWatchFd_ >= 0) return;
    const std::string& path = store->Path();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return;
    std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    std::string file = path.substr(slash + 1);
    storeWatchFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (storeWatchFd_ < 0) return;
    if (inotify_add_watch(storeWatchFd_, folder.c_str(),
                          IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO) < 0) {
        close(storeWatchFd_);
        storeWatchFd_ = -1;
        return;
    }
    storeNotifier_ = new QSocketNotifier(storeWatchFd_, QSocketNotifier::Read, this);
    connect(storeNotifier_, &QSocketNotifier::activated, this, [this, file] {
        alignas(inotify_event) char buf[4096];
        bool ours = false;
        ssize_t n;
        while ((n = read(storeWatchFd_, buf, sizeof buf)) > 0) {
            for (ssize_t off = 0; off < n;) {
                auto* ev = reinterpret_cast<inotify_event*>(buf + off);
                if (ev->len > 0 && std::string_view(ev->name).rfind(file, 0) == 0) ours = true;
                off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        if (ours) CheckStoreChanged();
    });
}

void TZarkellClient::SaveJobs() {
    // Writing a member that another process changed meanwhile would put the
    // old value back; such a job (or one deleted underneath) keeps what the
    // store has. One transaction, so no writer gets in between the look and
    // the write.
    //
    // A job that is still running is left out: everything it changes is
    // written through as it runs, and its lock may be held by its thread,
    // which waits for the store while we would wait for the lock.
    auto save = [this] {
        const StoredJobs stored(app_.jobs);
        for (auto& j : jobs_.Owned()) {
            if (!stored.Has(j->Id())) continue;
            bool running = false;
            for (const auto& t : threads_) running |= &t->Job() == j.get();
            if (running) continue;
            if (deletedWhileBusy_.count(j->Id()) || changedWhileBusy_.count(j->Id())) continue;
            if (!JobMatchesStore(*j, stored)) continue;
            j->Save();
        }
        return true;
    };
    if (app_.Store())
        app_.Store()->Transaction(save);
    else
        save();
}

}  // namespace zk40
