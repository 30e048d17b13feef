#pragma once
// Jobs waiting to run, earliest NextRun first; jobs due at the same second
// keep the order in which they were queued.
#include <vector>

#include "support/Sync.h"

namespace zk40 {

class TJob;

struct TJobSched : public TSync {
    TJob* Job = nullptr;
};

class TScheduleQueue {
public:
    // Goes after every entry whose NextRun is earlier or equal.
    void Insert(TJob* job);
    // Finds the entry by the job's key name; true when there was one.
    bool Remove(const TJob* job);
    bool Empty() const { return entries_.empty(); }
    size_t Size() const { return entries_.size(); }
    TJob* Front() const { return entries_.empty() ? nullptr : entries_.front().Job; }
    void PopFront();
    bool Contains(const TJob* job) const;
    // After the clock was set: NextRun values changed, restore the order
    // (stable, so ties keep their order).
    void Resort();
    std::vector<TJob*> Jobs() const;

private:
    std::vector<TJobSched> entries_;
};

}  // namespace zk40
