#include "scheduler/ScheduleQueue.h"

#include <algorithm>

#include "jobs/Job.h"

namespace zk40 {

namespace {
StoreTime NextRunOf(const TJob* job) {
    TSync::TLock lock(*job);
    return job->NextRun.Get();
}
}  // namespace

void TScheduleQueue::Insert(TJob* job) {
    StoreTime t = NextRunOf(job);
    // Binary search for the first entry due strictly later.
    auto it =
        std::upper_bound(entries_.begin(), entries_.end(), t,
                         [](StoreTime v, const TJobSched& e) { return v < NextRunOf(e.Job); });
    TJobSched e;
    e.Job = job;
    entries_.insert(it, e);
}

bool TScheduleQueue::Remove(const TJob* job) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->Job->KeyName() == job->KeyName()) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

void TScheduleQueue::PopFront() {
    if (!entries_.empty()) entries_.erase(entries_.begin());
}

bool TScheduleQueue::Contains(const TJob* job) const {
    for (const auto& e : entries_)
        if (e.Job == job) return true;
    return false;
}

void TScheduleQueue::Resort() {
    std::stable_sort(entries_.begin(), entries_.end(), [](const TJobSched& a, const TJobSched& b) {
        return NextRunOf(a.Job) < NextRunOf(b.Job);
    });
}

std::vector<TJob*> TScheduleQueue::Jobs() const {
    std::vector<TJob*> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) out.push_back(e.Job);
    return out;
}

}  // namespace zk40
