#include "jobs/Job.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "jobs/ActionHandle.h"
#include "jobs/NextRun.h"

namespace zk40 {

namespace {

// The start is taken as plain Unix time while the program loads: turning
// it into store time needs the calendar tables of another file, which may
// not be set up yet at that moment, so that waits for the first question.
int64_t ProcessStartUnix() {
    static const int64_t start = static_cast<int64_t>(::time(nullptr));
    return start;
}
[[maybe_unused]] const int64_t gProcessStartAtLoad = ProcessStartUnix();

// rand() gives identifiers below this; larger ones are used only once all
// of these are taken.
constexpr uint32_t kSmallIdRange = 32768;
constexpr uint32_t kLastSecondOfDay = kSecondsPerDay - 1;

constexpr char kDisabledValue[] = "Disabled";

const char* const kJobValueNames[] = {
    "Name",     "Flags",    "Password",   "SchedType",  "Time",       "Hour",
    "Minute",   "LastRun",  "NextRun",    "State",      "NumActions", "StartTime",
    "StopTime", "LastStat", "RetryCount", "RetryDelay", kDisabledValue,
};

bool ParseHex(std::string_view s, uint32_t* out) {
    if (s.empty() || s.size() > 8) return false;
    uint32_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

// "A" and eight hex digits, as the action keys are named.
bool ParseActionKeyName(std::string_view name, uint32_t* index) {
    return name.size() == 9 && (name[0] == 'A' || name[0] == 'a') &&
           ParseHex(name.substr(1), index);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

std::string FindString(const std::vector<RegNamedValue>& values, std::string_view name) {
    for (const auto& v : values)
        if (EqualNoCase(v.name, name)) return DecodeRegString(v.value.data);
    return {};
}

// Runs work in one store transaction when one can be had (one commit
// instead of dozens), else runs it anyway: a store that is busy for long
// still gets the writes one by one.
template <typename F>
void WriteTogether(const TRegKey& key, F&& work) {
    bool ran = false;
    if (TStore* store = key.Store())
        store->Transaction([&] {
            ran = true;
            work();
            return true;
        });
    if (!ran) work();
}

// Property and child keys are named after catalogue identifiers; a name
// that is empty or holds a path separator would land in some other key.
bool UsableKeyName(std::string_view name) {
    return !name.empty() && name.find('\\') == std::string_view::npos;
}

// Copies every value (byte for byte, whatever its type) and every subkey.
bool CopyTree(const TRegKey& from, const TRegKey& to) {
    std::vector<RegNamedValue> values;
    if (from.Store()->LoadValues(from.Id(), &values) != kRegOk) return false;
    for (const auto& v : values)
        if (to.Set(v.name, v.value.type, v.value.data) != kRegOk) return false;
    std::vector<std::string> subkeys;
    if (from.Store()->ListSubKeys(from.Id(), &subkeys) != kRegOk) return false;
    for (const auto& name : subkeys) {
        TRegKey f(from, name, false);
        TRegKey t(to, name, true);
        if (!f.IsValid() || !t.IsValid() || !CopyTree(f, t)) return false;
    }
    return true;
}

// Moves fromParent\fromName to toParent\toName; nothing to do when the
// source does not exist.
bool MoveTree(const TRegKey& fromParent, std::string_view fromName, const TRegKey& toParent,
              std::string_view toName) {
    TRegKey src(fromParent, fromName, false);
    if (!src.IsValid()) return true;
    TRegKey dst(toParent, toName, true);
    if (!dst.IsValid() || !CopyTree(src, dst)) return false;
    src.Close();
    return fromParent.DeleteSubKeyTree(fromName) == kRegOk;
}

// Exchanges ka\name and kb\name through ka\name-TEMP.
bool ExchangeSubtree(const TRegKey& ka, const TRegKey& kb, const std::string& name) {
    const std::string temp = name + "-TEMP";
    ka.DeleteSubKeyTree(temp);  // left over from an older, interrupted swap
    return MoveTree(ka, name, ka, temp) && MoveTree(kb, name, ka, name) &&
           MoveTree(ka, temp, kb, name);
}

// Values that old versions kept as "RID-xxxx" directly in the action key
// belong in its RID subkey. Strings and numbers move; other types stay.
void MigrateLegacyProperties(const TRegKey& actionKey, const std::vector<RegNamedValue>& values) {
    TRegKey rid;
    for (const auto& v : values) {
        if (!StartsWithNoCase(v.name, "RID-")) continue;
        if (v.value.type != REG_SZ && v.value.type != REG_DWORD) continue;
        if (!rid.IsValid()) rid = TRegKey(actionKey, "RID");
        long rc = v.value.type == REG_SZ ? rid.SetString(v.name, DecodeRegString(v.value.data))
                                         : rid.Set(v.name, REG_DWORD, v.value.data);
        // Never drop the old value unless the copy is safely stored.
        if (rc == kRegOk) actionKey.DeleteValue(v.name);
    }
}

// Holds the locks of up to two actions (either may be absent), always in
// address order, so that two moves can never take them crosswise.
class TActionLocks {
public:
    TActionLocks(TAction* a, TAction* b) : a_(a), b_(b) {
        if (a_ && b_ && std::less<TAction*>()(b_, a_)) std::swap(a_, b_);
        if (a_) a_->Enter();
        if (b_) b_->Enter();
    }
    ~TActionLocks() {
        if (b_) b_->Leave();
        if (a_) a_->Leave();
    }
    TActionLocks(const TActionLocks&) = delete;
    TActionLocks& operator=(const TActionLocks&) = delete;

private:
    TAction* a_;
    TAction* b_;
};

}  // namespace

// ---- construction ----

TJob::TJob(const TRegKey& jobsKey, const TRegKey& actionsKey, const IClock& clock)
    : TJob(jobsKey, actionsKey, FreshId(jobsKey), true, clock) {}

TJob::TJob(const TRegKey& jobsKey, const TRegKey& actionsKey, uint32_t id, const IClock& clock)
    : TJob(jobsKey, actionsKey, id, false, clock) {}

TJob::TJob(const TRegKey& jobsKey, const TRegKey& actionsKey, uint32_t id, bool fresh,
           const IClock& clock)
    : id_(id), key_(jobsKey, KeyNameOf(id)), actionsKey_(&actionsKey) {
    snprintf(keyName_, sizeof keyName_, "%.8X", id);
    const StoreTime now = clock.Now();
    // Nobody else can see the job yet, but the lock still comes before the
    // store's, as everywhere else.
    TLock lock(*this);
    // Binding a new job writes sixteen defaults; one commit for all of them
    // (and for a loaded job's actions) keeps start-up and creation quick.
    WriteTogether(key_, [&] {
        BindValues(fresh, now);
        LoadActions();
    });
}

TJob::~TJob() {
    TAction* current = nullptr;
    IActionRunner* runner;
    {
        TLock lock(*this);
        runner = runner_;
        if (CurrentAction > kRunStarting) current = FindAction(CurrentAction);
    }
    // Outside the lock: the module may take its time and may call back into
    // the host, which takes this job's lock. Only this (the main) thread
    // destroys actions, so the pointer stays good meanwhile.
    if (current && runner) runner->StopAction(*current);
    TLock lock(*this);
    actions_.clear();
}

StoreTime TJob::ProcessStartTime() {
    static const StoreTime start = FromUnixTime(ProcessStartUnix());
    return start;
}

std::string TJob::KeyNameOf(uint32_t id) {
    char buf[12];
    snprintf(buf, sizeof buf, "%.8X", id);
    return buf;
}

uint32_t TJob::FreshId(const TRegKey& jobsKey) {
    // Identifiers used to come straight from rand() with no check, so that
    // a new job could silently merge with an existing one: it bound to the
    // old key and the old values won. With only 32,768 numbers that became
    // likely after a few hundred jobs. Now a number is taken only when no
    // key of that name exists and no job of this process was given it.
    static std::mutex mutex;
    static std::unordered_set<uint32_t> handedOut;
    std::lock_guard<std::mutex> lock(mutex);
    auto hand = [&](uint32_t id) {
        handedOut.insert(id);
        return id;
    };
    for (int i = 0; i < 32; ++i) {
        uint32_t id = static_cast<uint32_t>(rand()) % kSmallIdRange;
        if (handedOut.count(id) == 0 && !TRegKey(jobsKey, KeyNameOf(id), false).IsValid())
            return hand(id);
    }
    // The draws keep hitting used numbers, so the range is crowded: walk it
    // from a random point against one listing of the existing keys.
    std::unordered_set<uint32_t> existing;
    if (jobsKey.IsValid()) {
        std::vector<std::string> names;
        jobsKey.Store()->ListSubKeys(jobsKey.Id(), &names);
        for (const auto& n : names) {
            uint32_t id;
            if (n.size() == 8 && ParseHex(n, &id)) existing.insert(id);
        }
    }
    auto isFree = [&](uint32_t id) { return handedOut.count(id) == 0 && existing.count(id) == 0; };
    const uint32_t start = static_cast<uint32_t>(rand()) % kSmallIdRange;
    for (uint32_t k = 0; k < kSmallIdRange; ++k) {
        uint32_t id = (start + k) % kSmallIdRange;
        if (isFree(id)) return hand(id);
    }
    // All 32,768 small numbers are taken: go on above them. The key name has
    // room for any 32-bit number, and nothing else cares how large it is.
    for (uint32_t id = kSmallIdRange; id != 0; ++id)
        if (isFree(id)) return hand(id);
    return hand(0);  // four billion jobs: not a case anyone will meet
}

void TJob::BindValues(bool fresh, StoreTime now) {
    const StoreTime today = StartOfDay(now);
    Name.Bind(key_, "Name", fresh ? "(untitled)" : "");
    Flags.Bind(key_, "Flags", fresh ? 3 : 0);
    TRegBool* bits[] = {&QuickList,        &StopOnError,     &SundayExcluded,
                        &MondayExcluded,   &TuesdayExcluded, &WednesdayExcluded,
                        &ThursdayExcluded, &FridayExcluded,  &SaturdayExcluded};
    for (uint16_t i = 0; i < 9; ++i) bits[i]->Bind(Flags, i);
    Password.Bind(key_, "Password", "");
    SchedType.Bind(key_, "SchedType", fresh ? static_cast<uint32_t>(kSchedManually) : 0u);
    Time.Bind(key_, "Time", 0);
    Hour.Bind(key_, "Hour", fresh ? 1 : 0);
    Minute.Bind(key_, "Minute", 0);
    LastRun.Bind(key_, "LastRun", SmallestTime);
    NextRun.Bind(key_, "NextRun", fresh ? NeverTime : 0);
    State.Bind(key_, "State", fresh ? 1 : 0);
    NumActions.Bind(key_, "NumActions", 0);
    StartTime.Bind(key_, "StartTime", today);
    StopTime.Bind(key_, "StopTime", today + kLastSecondOfDay);
    LastStat.Bind(key_, "LastStat", 0);
    RetryCount.Bind(key_, "RetryCount", 0);
    RetryDelay.Bind(key_, "RetryDelay", 0);
    RegValueData disabled;
    uint32_t flag = 0;
    disabled_ = !fresh && key_.QueryCached(kDisabledValue, &disabled) == kRegOk &&
                DecodeDword(disabled.data, &flag) && flag != 0;
    // The bound members hold the values now; keeping the key's copy of them
    // for ten thousand jobs would double the memory for nothing.
    key_.DropSnapshot();
}

// Called by the constructors with the job locked.
void TJob::LoadActions() {
    // The old loader tried index after index until it had found as many
    // actions as the key had subkeys, so one subkey that is no action made
    // it search forever. Trying only the action keys that exist, in index
    // order, finds the same actions and always ends.
    const uint32_t subkeys = key_.SubKeyCount();
    if (subkeys == 0 || !key_.IsValid()) return;
    std::vector<std::string> names;
    key_.Store()->ListSubKeys(key_.Id(), &names);
    std::vector<uint32_t> indices;
    indices.reserve(names.size());
    for (const auto& n : names) {
        uint32_t index;
        if (ParseActionKeyName(n, &index) && index != 0) indices.push_back(index);
    }
    std::sort(indices.begin(), indices.end());
    actions_.reserve(indices.size());
    uint32_t loaded = 0;
    static const std::vector<RegNamedValue> kNoValues;
    for (uint32_t index : indices) {
        if (loaded >= subkeys) break;
        const std::string name = TAction::KeyName(index);
        TRegKey actionKey(key_, name, false);
        if (!actionKey.IsValid()) continue;
        // The key's snapshot: read here and then used again by the binding,
        // so each action costs one query for all its values.
        const std::vector<RegNamedValue>* cached = actionKey.CachedValues();
        const std::vector<RegNamedValue>& values = cached ? *cached : kNoValues;
        const std::string vendor = FindString(values, "VendorID");
        if (vendor.empty()) {
            // Holds no action (a half-made or half-deleted one).
            actionKey.Close();
            key_.DeleteSubKey(name);
            continue;
        }
        if (actionKey.SubKeyCount() == 0) MigrateLegacyProperties(actionKey, values);
        actions_.push_back(std::make_unique<TAction>(this, index, std::move(actionKey), vendor,
                                                     FindString(values, "ModuleID"),
                                                     FindString(values, "ActionID")));
        ++loaded;
    }
    actions_.shrink_to_fit();
}

// ---- queries and commands ----

void TJob::SetActionRunner(IActionRunner* runner) {
    TLock lock(*this);
    runner_ = runner;
}

uint32_t TJob::IsRunning() const {
    TLock lock(*this);
    return CurrentAction > kRunStarting ? CurrentAction : 0;
}

bool TJob::IsDayAllowed(int weekday) const {
    TLock lock(*this);
    return zk40::IsDayAllowed(Flags.Get(), weekday);
}

void TJob::RunNow(StoreTime now) {
    TLock lock(*this);
    RetriesDone = 0;
    NextRun = now;
}

bool TJob::ComputeNextRun(StoreTime now, NextRunCause cause) {
    TLock lock(*this);
    NextRunInput in;
    in.SchedType = SchedType;
    in.Time = Time;
    in.Hour = Hour;
    in.Minute = Minute;
    in.LastRun = LastRun;
    in.NextRun = NextRun;
    in.LastStat = LastStat;
    in.RetryCount = RetryCount;
    in.RetryDelay = RetryDelay;
    in.RetriesDone = RetriesDone;
    in.StartTime = StartTime;
    in.StopTime = StopTime;
    in.Flags = Flags;
    const NextRunResult r = zk40::ComputeNextRun(in, now, ProcessStartTime(), cause);
    RetriesDone = r.RetriesDone;
    if (r.LastRunChanged) LastRun = r.LastRun;
    NextRun = disabled_ ? NeverTime : r.NextRun;
    return !r.UnknownKind;
}

bool TJob::Enabled() const {
    TLock lock(*this);
    return !disabled_;
}

long TJob::SetEnabled(bool on) {
    TLock lock(*this);
    long rc = on ? key_.DeleteValue(kDisabledValue) : key_.SetDword(kDisabledValue, 1);
    if (rc == kRegNotFound) rc = kRegOk;  // enabling a job that was never disabled
    if (rc == kRegOk) disabled_ = !on;
    return rc;
}

bool TJob::Save() {
    TLock lock(*this);
    TStore* store = key_.Store();
    if (!store) return false;
    return store->Transaction([&] {
        return Name.Set(Name.Get()) == kRegOk && QuickList.Set(QuickList.Get()) == kRegOk &&
               StopOnError.Set(StopOnError.Get()) == kRegOk &&
               Password.Set(Password.Get()) == kRegOk && SchedType.Set(SchedType) == kRegOk &&
               Time.Set(Time) == kRegOk && Hour.Set(Hour) == kRegOk &&
               Minute.Set(Minute) == kRegOk && LastRun.Set(LastRun) == kRegOk &&
               NextRun.Set(NextRun) == kRegOk && State.Set(State) == kRegOk &&
               NumActions.Set(NumActions) == kRegOk;
    });
}

void TJob::DeleteValues() {
    TLock lock(*this);
    TStore* store = key_.Store();
    if (!store) return;
    WriteTogether(key_, [&] {
        for (const char* name : kJobValueNames) key_.DeleteValue(name);
    });
    const KeyId parent = store->ParentOf(key_.Id());
    // Plain deletion: a job whose actions are still stored keeps its key.
    if (store->DeleteKey(parent, KeyName()) == kRegOk) key_.Close();
}

void TJob::RefreshFlagBits() {
    TLock lock(*this);
    for (TRegBool* b :
         {&QuickList, &StopOnError, &SundayExcluded, &MondayExcluded, &TuesdayExcluded,
          &WednesdayExcluded, &ThursdayExcluded, &FridayExcluded, &SaturdayExcluded})
        b->Refresh();
}

// ---- actions ----

TAction* TJob::FindAction(uint32_t handle) const {
    TAction* a = ResolveActionHandle(handle);
    return a && a->Job() == this ? a : nullptr;
}

bool TJob::HasAction(uint32_t handle) const {
    TLock lock(*this);
    return FindAction(handle) != nullptr;
}

TAction* TJob::FindByIndex(uint32_t index) const {
    for (const auto& a : actions_)
        if (a->Index() == index) return a.get();
    return nullptr;
}

uint32_t TJob::HighestIndex() const {
    uint32_t top = 0;
    for (const auto& a : actions_) top = std::max(top, a->Index());
    return top;
}

std::string TJob::ActionKeyName(uint32_t index) const {
    if (index == 0) {
        TLock lock(*this);
        index = std::max<uint32_t>(NumActions, HighestIndex()) + 1;
    }
    return TAction::KeyName(index);
}

size_t TJob::ActionCount() const {
    TLock lock(*this);
    return actions_.size();
}

TAction* TJob::ActionAt(size_t pos) const {
    TLock lock(*this);
    return pos < actions_.size() ? actions_[pos].get() : nullptr;
}

uint32_t TJob::ActionInfo(size_t pos, std::string* vendorId, std::string* moduleId,
                          std::string* actionId) const {
    TLock lock(*this);
    if (pos >= actions_.size()) return 0;
    TAction& a = *actions_[pos];
    TLock actionLock(a);
    if (vendorId) *vendorId = a.VendorID.Reload();
    if (moduleId) *moduleId = a.ModuleID.Reload();
    if (actionId) *actionId = a.ActionID.Reload();
    return a.Handle();
}

uint32_t TJob::AddAction(std::string_view vendorId, std::string_view moduleId,
                         std::string_view actionId) {
    TLock lock(*this);
    // Normally NumActions + 1; the highest index actually loaded counts too,
    // so that a NumActions that fell behind never puts two actions on one key.
    const uint32_t top = std::max<uint32_t>(NumActions, HighestIndex());
    if (top == UINT32_MAX || !key_.IsValid()) return 0;
    const uint32_t index = top + 1;
    TRegKey actionKey(key_, TAction::KeyName(index));
    if (!actionKey.IsValid()) return 0;
    std::unique_ptr<TAction> action;
    WriteTogether(key_, [&] {
        // A key left at this index by an interrupted delete must not lend its
        // old properties or children to the new action.
        key_.Store()->ClearKey(actionKey.Id());
        actionKey.SetString("VendorID", vendorId);
        actionKey.SetString("ModuleID", moduleId);
        actionKey.SetString("ActionID", actionId);
        NumActions = index;
        action = std::make_unique<TAction>(this, index, std::move(actionKey), vendorId, moduleId,
                                           actionId);
    });
    const uint32_t handle = action->Handle();
    actions_.push_back(std::move(action));
    return handle;
}

bool TJob::DeleteAction(uint32_t handle) {
    TLock lock(*this);
    TAction* a = FindAction(handle);
    if (!a) return false;
    {
        // The job thread holds on to the action it runs; it must outlive the run.
        TLock actionLock(*a);
        if (CurrentAction == handle || a->Running) return false;
    }
    const uint32_t last = std::max<uint32_t>(NumActions, HighestIndex());
    if (last > 1 && a->Index() != last) MoveAction(a->Index(), last);
    const uint32_t at = a->Index();
    // The whole tree: a plain delete would leave a key that still has RID
    // or CHILDREN behind, and the next start would load the action again.
    key_.DeleteSubKeyTree(TAction::KeyName(at));
    // If a step of the move failed the action was deleted where it stood,
    // and NumActions still covers the actions above it.
    if (at == last) NumActions = last - 1;
    auto it = std::find_if(actions_.begin(), actions_.end(),
                           [&](const std::unique_ptr<TAction>& p) { return p.get() == a; });
    if (it != actions_.end()) actions_.erase(it);
    return true;
}

bool TJob::MoveAction(uint32_t from, uint32_t to) {
    TLock lock(*this);
    const uint32_t last = std::max<uint32_t>(NumActions, HighestIndex());
    if (from < 1 || to < 1 || from > last || to > last) return false;
    if (from > to) {
        for (uint32_t k = from; k > to; --k)
            if (!SwapNeighbours(k, k - 1)) return false;
    } else {
        for (uint32_t k = from; k < to; ++k)
            if (!SwapNeighbours(k, k + 1)) return false;
    }
    return true;
}

bool TJob::SwapNeighbours(uint32_t a, uint32_t b) {
    TAction* A = FindByIndex(a);
    TAction* B = FindByIndex(b);
    TStore* store = key_.Store();
    if ((!A && !B) || !store) return false;
    const std::string nameA = TAction::KeyName(a);
    const std::string nameB = TAction::KeyName(b);
    // Job lock (held), then the actions'. Only the main thread ever holds
    // two action locks, so this cannot deadlock with a job thread.
    TActionLocks locks(A, B);
    // Each one's texts from its own key, before either key is rewritten.
    if (A) A->ReadTexts();
    if (B) B->ReadTexts();
    TRegKey oldKeyA, oldKeyB;
    bool reboundA = false, reboundB = false;
    // The objects stay and only change keys, so their handles (held by the
    // tree and by modules, perhaps by a running job thread) stay good.
    // Everything happens in one transaction: a crash half-way must not leave
    // two actions sharing one RID.
    const bool ok = store->Transaction([&] {
        TRegKey ka(key_, nameA), kb(key_, nameB);
        if (!ka.IsValid() || !kb.IsValid()) return false;
        if (!ExchangeSubtree(ka, kb, "RID") || !ExchangeSubtree(ka, kb, "CHILDREN")) return false;
        if (A) {
            oldKeyA = A->Rebind(b, TRegKey(key_, nameB));
            reboundA = true;
            if (!A->Save()) return false;
        }
        if (B) {
            oldKeyB = B->Rebind(a, TRegKey(key_, nameA));
            reboundB = true;
            if (!B->Save()) return false;
        }
        // An index that had no action must not keep the values that just
        // moved away from it (it would load as a second copy).
        if (!A && key_.DeleteSubKeyTree(nameB) != kRegOk) return false;
        if (!B && key_.DeleteSubKeyTree(nameA) != kRegOk) return false;
        return true;
    });
    if (!ok) {
        // The store rolled back; put the objects back on their old keys.
        if (reboundA) A->Rebind(a, std::move(oldKeyA));
        if (reboundB) B->Rebind(b, std::move(oldKeyB));
        return false;
    }
    if (A && B) {
        auto pa = std::find_if(actions_.begin(), actions_.end(),
                               [&](const std::unique_ptr<TAction>& p) { return p.get() == A; });
        auto pb = std::find_if(actions_.begin(), actions_.end(),
                               [&](const std::unique_ptr<TAction>& p) { return p.get() == B; });
        std::iter_swap(pa, pb);
    }
    return true;
}

uint32_t TJob::ActionField(uint32_t handle, uint32_t TAction::*field) const {
    return WithAction(handle, uint32_t{0}, [&](TAction* a) -> uint32_t { return a->*field; });
}

bool TJob::SetActionField(uint32_t handle, uint32_t TAction::*field, uint32_t value) {
    return WithAction(handle, false, [&](TAction* a) {
        a->*field = value;
        return true;
    });
}

uint32_t TJob::ActionTreeItem(uint32_t handle) const {
    return ActionField(handle, &TAction::TreeItem);
}

bool TJob::SetActionTreeItem(uint32_t handle, uint32_t item) {
    return SetActionField(handle, &TAction::TreeItem, item);
}

uint32_t TJob::ActionStatusNode(uint32_t handle) const {
    return ActionField(handle, &TAction::StatusNode);
}

bool TJob::SetActionStatusNode(uint32_t handle, uint32_t node) {
    return SetActionField(handle, &TAction::StatusNode, node);
}

// ---- property values ----

bool TJob::OpenPropertyKey(TAction& action, int16_t code, TRegKey& out) {
    TLock actionLock(action);
    if (code == 1 || code == 2) {
        out = TRegKey(action.key_, "RID");
        return out.IsValid();
    }
    const std::string vendor = action.VendorID.Get();
    const std::string module = action.ModuleID.Get();
    const std::string type = action.ActionID.Get();
    if (!UsableKeyName(vendor)) return false;
    out = TRegKey(*actionsKey_, vendor);
    if (code >= 5) {
        if (!UsableKeyName(module)) return false;
        out = TRegKey(out, module);
    }
    if (code >= 7) {
        if (!UsableKeyName(type)) return false;
        out = TRegKey(out, type);
    }
    return out.IsValid();
}

bool TJob::SetProperty(uint32_t handle, const TPropertyRequest& request) {
    if (request.Code < 1 || request.Code > 8) return false;
    TLock lock(*this);
    TAction* a = FindAction(handle);
    if (!a) return false;
    TLock actionLock(*a);
    TRegKey key;
    if (!OpenPropertyKey(*a, request.Code, key)) return false;
    const std::string name = TAction::PropertyValueName(request.Id);
    // Store failures are not the module's business: the request was valid.
    if (request.Code % 2 == 1)
        key.SetDword(name, request.Number);
    else
        key.SetString(name, request.Text);
    return true;
}

bool TJob::GetProperty(uint32_t handle, TPropertyRequest& request) {
    if (request.Code < 1 || request.Code > 8) return false;
    TLock lock(*this);
    TAction* a = FindAction(handle);
    if (!a) return false;
    TLock actionLock(*a);
    TRegKey key;
    if (!OpenPropertyKey(*a, request.Code, key)) return false;
    const std::string name = TAction::PropertyValueName(request.Id);
    const bool number = request.Code % 2 == 1;
    RegValueData d;
    if (key.Query(name, &d) == kRegOk) {
        uint32_t v;
        if (!number)
            request.Text = DecodeRegString(d.data);
        else if (DecodeDword(d.data, &v))
            request.Number = v;
        // else: too short for a number (a text under the same name); the
        // request keeps its own number and the stored value stays as it is.
    } else if (number) {
        key.SetDword(name, request.Number);
    } else {
        key.SetString(name, request.Text);
    }
    return true;
}

// ---- child items ----

uint32_t TJob::ChildCount(uint32_t handle) const {
    return WithAction(handle, uint32_t{0}, [&](TAction* a) -> uint32_t {
        TRegKey children(a->key_, "CHILDREN", false);
        return children.IsValid() ? children.ValueCount() : 0;
    });
}

namespace {
// Reads a text value; a missing one is stored empty, so that what the
// module sees and what the store holds never differ.
std::string ReadOrCreateText(const TRegKey& key, const std::string& name) {
    RegValueData d;
    if (key.Query(name, &d) == kRegOk) return DecodeRegString(d.data);
    key.SetString(name, "");
    return {};
}
}  // namespace

std::string TJob::ChildText(uint32_t handle, uint32_t n) {
    return WithAction(handle, std::string(), [&](TAction* a) {
        return ReadOrCreateText(TRegKey(a->key_, "CHILDREN"), TAction::ChildValueName(n));
    });
}

bool TJob::SetChildText(uint32_t handle, uint32_t n, std::string_view text) {
    return WithAction(handle, false, [&](TAction* a) {
        TRegKey(a->key_, "CHILDREN").SetString(TAction::ChildValueName(n), text);
        return true;
    });
}

uint32_t TJob::GrandchildCount(uint32_t handle, uint32_t n) const {
    return WithAction(handle, uint32_t{0}, [&](TAction* a) -> uint32_t {
        TRegKey children(a->key_, "CHILDREN", false);
        if (!children.IsValid() || children.SubKeyCount() == 0) return 0;
        TRegKey child(children, TAction::ChildValueName(n), false);
        return child.IsValid() ? child.ValueCount() : 0;
    });
}

std::string TJob::GrandchildText(uint32_t handle, uint32_t n, uint32_t m) {
    return WithAction(handle, std::string(), [&](TAction* a) {
        TRegKey child(a->key_, "CHILDREN\\" + TAction::ChildValueName(n));
        return ReadOrCreateText(child, TAction::ChildValueName(m));
    });
}

bool TJob::SetGrandchildText(uint32_t handle, uint32_t n, uint32_t m, std::string_view text) {
    return WithAction(handle, false, [&](TAction* a) {
        TRegKey(a->key_, "CHILDREN\\" + TAction::ChildValueName(n))
            .SetString(TAction::ChildValueName(m), text);
        return true;
    });
}

bool TJob::DeleteChildren(uint32_t handle) {
    return WithAction(handle, false, [&](TAction* a) {
        const long rc = a->key_.DeleteSubKeyTree("CHILDREN");
        a->ClearChildItems();
        return rc == kRegOk || rc == kRegNotFound;
    });
}

}  // namespace zk40
