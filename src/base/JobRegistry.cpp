#include "base/JobRegistry.h"

#include <strings.h>

#include <algorithm>

namespace zk40 {

TJob& TJobRegistry::Add(std::unique_ptr<TJob> job) {
    TJob& j = *job;
    byId_[j.Id()] = &j;
    jobs_.push_back(std::move(job));
    return j;
}

std::unique_ptr<TJob> TJobRegistry::Remove(const TJob* job) {
    auto it = std::find_if(jobs_.begin(), jobs_.end(), [job](auto& j) { return j.get() == job; });
    if (it == jobs_.end()) return nullptr;
    std::unique_ptr<TJob> out = std::move(*it);
    jobs_.erase(it);
    auto b = byId_.find(out->Id());
    if (b != byId_.end() && b->second == out.get()) byId_.erase(b);
    return out;
}

TJob& TJobRegistry::Replace(const TJob* old, std::unique_ptr<TJob> job) {
    auto it = std::find_if(jobs_.begin(), jobs_.end(), [old](auto& j) { return j.get() == old; });
    if (it == jobs_.end()) return Add(std::move(job));
    auto b = byId_.find(old->Id());
    if (b != byId_.end() && b->second == old) byId_.erase(b);
    TJob& j = *job;
    *it = std::move(job);
    byId_[j.Id()] = &j;
    return j;
}

void TJobRegistry::Clear() {
    byId_.clear();
    jobs_.clear();
}

TJob* TJobRegistry::Find(uint32_t id) const {
    auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
}

TJob* TJobRegistry::FindByName(const std::string& name) const {
    TJob* loose = nullptr;
    for (auto& j : jobs_) {
        TSync::TLock lock(*j);
        if (j->Name.Get() == name) return j.get();
        if (!loose && strcasecmp(j->Name.Get().c_str(), name.c_str()) == 0) loose = j.get();
    }
    return loose;
}

std::vector<TJob*> TJobRegistry::All() const {
    std::vector<TJob*> out;
    out.reserve(jobs_.size());
    for (auto& j : jobs_) out.push_back(j.get());
    return out;
}

void TJobRegistry::Reserve(size_t n) {
    jobs_.reserve(n);
    byId_.reserve(n);
}

}  // namespace zk40
