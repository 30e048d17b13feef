#pragma once
// The jobs the program holds: owned here, in the order they were taken in,
// and found by id through a map (a command on one job of ten thousand
// should not walk them all).
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "jobs/Job.h"

namespace zk40 {

class TJobRegistry {
public:
    TJob& Add(std::unique_ptr<TJob> job);
    // Lets the job go; nothing when it is not here.
    std::unique_ptr<TJob> Remove(const TJob* job);
    // The new object takes the old one's place in the order.
    TJob& Replace(const TJob* old, std::unique_ptr<TJob> job);
    void Clear();

    TJob* Find(uint32_t id) const;
    // An exact name first, else one that differs only in case.
    TJob* FindByName(const std::string& name) const;
    const std::vector<std::unique_ptr<TJob>>& Owned() const { return jobs_; }
    std::vector<TJob*> All() const;
    size_t Size() const { return jobs_.size(); }
    bool Empty() const { return jobs_.empty(); }
    void Reserve(size_t n);

private:
    std::vector<std::unique_ptr<TJob>> jobs_;
    std::unordered_map<uint32_t, TJob*> byId_;
};

}  // namespace zk40
