#pragma once
// TJob: a job in memory and in the store at once. Its key is jobs\%08.8X of
// its identifier; every persistent member is a bound value, so each
// assignment is written through and a job survives a crash with its last
// state. The job owns its actions (TAction), kept in run order.
//
// Locking: the job derives from TSync and its lock guards every member.
// Another thread reads or writes a member only while holding it (TLock),
// and only around that single access and its write-through. When both are
// needed the job's lock comes before an action's. No lock is held across a
// call into IActionRunner (that is, into a module).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/Action.h"
#include "jobs/NextRun.h"
#include "store/RegValue.h"
#include "store/Store.h"
#include "support/StoreTime.h"
#include "support/Sync.h"

namespace zk40 {

// What the job needs from whoever runs actions through their modules. The
// job does not know the module host; the host hands itself in.
class IActionRunner {
public:
    virtual ~IActionRunner() = default;
    // Asks the action's module to stop the running action; false when no
    // module serves it or the module refused.
    virtual bool StopAction(TAction& action) = 0;
};

// Final and without virtual functions: a table pointer in each of ten
// thousand jobs would buy nothing.
class TJob final : public TSync {
public:
    static constexpr StoreTime NeverTime = kNeverTime;
    static constexpr StoreTime SmallestTime = kSmallestTime;
    // CurrentAction between the start of a run and its first action.
    static constexpr uint32_t kRunStarting = 1;

    // Creates a new job under jobsKey with a fresh identifier and the
    // new-job defaults. actionsKey is the module catalogue (property codes
    // 3 to 8 are stored there); both keys must outlive the job. The clock
    // gives "today" for the default daily window.
    TJob(const TRegKey& jobsKey, const TRegKey& actionsKey,
         const IClock& clock = SystemClock::Instance());
    // Opens the existing job id (missing values get the open defaults).
    TJob(const TRegKey& jobsKey, const TRegKey& actionsKey, uint32_t id,
         const IClock& clock = SystemClock::Instance());
    // Asks the runner to stop a current action, then destroys the actions.
    // The stored job stays.
    ~TJob();
    TJob(const TJob&) = delete;
    TJob& operator=(const TJob&) = delete;

    // When the program was loaded; "On Startup" jobs run only just after it.
    static StoreTime ProcessStartTime();
    static std::string KeyNameOf(uint32_t id);  // "%08.8X"

    uint32_t Id() const { return id_; }
    std::string_view KeyName() const { return {keyName_, 8}; }
    // Guarded like the members.
    const TRegKey& Key() const { return key_; }

    // Null means there is nobody to ask; the pointer must outlive the job.
    void SetActionRunner(IActionRunner* runner);

    // The handle of the action being run, or 0 when the job is idle or its
    // run has just begun (CurrentAction 0 or kRunStarting). Use it as a bool
    // for "is running".
    uint32_t IsRunning() const;
    // weekday 1 = Monday ... 7 = Sunday; false for anything else.
    bool IsDayAllowed(int weekday) const;
    // Makes the job due now; the caller re-queues it.
    void RunNow(StoreTime now);
    // Works out NextRun from the schedule (and retries, catch-up, a clock
    // that was set back) and writes it through. False when SchedType names
    // no known kind: the job then never runs by schedule.
    bool ComputeNextRun(StoreTime now, NextRunCause cause = NextRunCause::Schedule);
    // Writes Name, bits 0 and 1 of Flags, Password, SchedType, Time, Hour,
    // Minute, LastRun, NextRun, State and NumActions from memory.
    bool Save();
    // Removes the job's values and then its key; delete the actions first
    // (a key that still has subkeys stays).
    void DeleteValues();
    // Re-reads every flag bit view from Flags (after Flags was set whole).
    void RefreshFlagBits();

    // A disabled job keeps its schedule but is not started by it (its next
    // run is never) until it is enabled again; running it by hand still
    // works. Kept as the value "Disabled" of the job key, which older
    // stores lack, so they read as enabled. Not a bound value: enabling
    // removes it again, and opening a job never writes it.
    bool Enabled() const;
    // Writes through; the next ComputeNextRun takes it into account.
    long SetEnabled(bool on);

    // ---- actions ----
    // "A%08.8X" of index; 0 means the next free index.
    std::string ActionKeyName(uint32_t index) const;
    size_t ActionCount() const;
    // Position from 0 in run order; nullptr past the end.
    TAction* ActionAt(size_t pos) const;
    // The action of handle if it belongs to this job.
    TAction* FindAction(uint32_t handle) const;
    // True while handle names an action of this job (takes the job's lock).
    bool HasAction(uint32_t handle) const;
    // Reads the identity of the action at pos from the store; returns its
    // handle, 0 past the end.
    uint32_t ActionInfo(size_t pos, std::string* vendorId, std::string* moduleId,
                        std::string* actionId) const;
    // Appends a new action (index NumActions + 1); returns its handle, 0
    // when the store has no room for it.
    uint32_t AddAction(std::string_view vendorId, std::string_view moduleId,
                       std::string_view actionId);
    // Moves the action to the last index and deletes it with everything
    // under its key. False for a handle of no action of this job and for
    // the action the job is running.
    bool DeleteAction(uint32_t handle);
    // Moves the action at index from to index to, one neighbour swap at a
    // time; each swap also exchanges the RID and CHILDREN subkeys. False
    // when a step fails (steps already done stay done).
    bool MoveAction(uint32_t from, uint32_t to);

    uint32_t ActionTreeItem(uint32_t handle) const;
    bool SetActionTreeItem(uint32_t handle, uint32_t item);
    uint32_t ActionStatusNode(uint32_t handle) const;
    bool SetActionStatusNode(uint32_t handle, uint32_t node);

private:
    // Runs f on the action of handle under the job's and then the action's
    // lock; `fail` when the handle names no action of this job.
    template <typename R, typename F>
    R WithAction(uint32_t handle, R fail, F&& f) const {
        TLock lock(*this);
        TAction* a = FindAction(handle);
        if (!a) return fail;
        TLock actionLock(*a);
        return f(a);
    }
    // One tree handle of an action, read or written under both locks.
    uint32_t ActionField(uint32_t handle, uint32_t TAction::*field) const;
    bool SetActionField(uint32_t handle, uint32_t TAction::*field, uint32_t value);

public:
    // Property values of an action (codes 1 to 8). Set writes the request's
    // number or text; Get reads into the request, writing the request's own
    // value as the default when none is stored. False for a code outside
    // 1 to 8 or a handle of no action of this job.
    bool SetProperty(uint32_t handle, const TPropertyRequest& request);
    bool GetProperty(uint32_t handle, TPropertyRequest& request);

    // Child items of an action (n and m from 1), kept in its CHILDREN key.
    uint32_t ChildCount(uint32_t handle) const;
    std::string ChildText(uint32_t handle, uint32_t n);
    bool SetChildText(uint32_t handle, uint32_t n, std::string_view text);
    uint32_t GrandchildCount(uint32_t handle, uint32_t n) const;
    std::string GrandchildText(uint32_t handle, uint32_t n, uint32_t m);
    bool SetGrandchildText(uint32_t handle, uint32_t n, uint32_t m, std::string_view text);
    // Deletes the CHILDREN key and forgets the child nodes; true when the
    // action has no children in the store afterwards.
    bool DeleteChildren(uint32_t handle);

private:
    TJob(const TRegKey& jobsKey, const TRegKey& actionsKey, uint32_t id, bool fresh,
         const IClock& clock);
    void BindValues(bool fresh, StoreTime now);
    void LoadActions();
    TAction* FindByIndex(uint32_t index) const;
    uint32_t HighestIndex() const;
    bool SwapNeighbours(uint32_t a, uint32_t b);
    bool OpenPropertyKey(TAction& action, int16_t code, TRegKey& out);
    static uint32_t FreshId(const TRegKey& jobsKey);

    // Members in the order the record has always had them, except that the
    // small fields that are not stored sit where they fill what would be
    // padding: ten thousand jobs are loaded at once.
    uint32_t id_;
    char keyName_[9];

public:
    // The job thread's run record ("%08X") while it runs, else "".
    char RunRecordName[9] = "";
    int16_t RetriesDone = 0;  // retries scheduled since the last good run; not stored

private:
    TRegKey key_;

public:
    TRegString Name;
    TRegDword Flags;
    // Bit views of Flags, bits 0 to 8.
    TRegBool QuickList;
    TRegBool StopOnError;
    TRegBool SundayExcluded;
    TRegBool MondayExcluded;
    TRegBool TuesdayExcluded;
    TRegBool WednesdayExcluded;
    TRegBool ThursdayExcluded;
    TRegBool FridayExcluded;
    TRegBool SaturdayExcluded;
    TRegString Password;
    TRegDword SchedType;
    TRegTime Time;
    TRegDword Hour;
    TRegDword Minute;
    TRegTime LastRun;
    TRegTime NextRun;
    TRegDword State;
    TRegDword NumActions;
    TRegTime StartTime;
    TRegTime StopTime;
    TRegDword LastStat;
    TRegDword RetryCount;
    TRegDword RetryDelay;
    uint32_t TreeItem = 0;    // the job's node in the main window's tree
    uint32_t StatusNode = 0;  // the node that shows its status line
    // 0 when idle, kRunStarting while a run begins, else the handle of the
    // action being run.
    uint32_t CurrentAction = 0;

private:
    bool disabled_ = false;
    std::vector<std::unique_ptr<TAction>> actions_;
    const TRegKey* actionsKey_;
    IActionRunner* runner_ = nullptr;
};

}  // namespace zk40
