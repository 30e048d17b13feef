#pragma once
// Copies of what a view shows of a job or an action, each taken under the
// record's locks in one place, so that no view reads a member unguarded or
// holds a lock while it draws.
#include <cstdint>
#include <string>

#include "support/StoreTime.h"

namespace zk40 {

class TJob;
class TAction;

struct JobSnapshot {
    uint32_t id = 0;
    std::string name;
    uint32_t schedType = 0;
    uint32_t lastStat = 0;
    uint32_t state = 0;
    StoreTime lastRun = 0;
    StoreTime nextRun = 0;
    uint32_t currentAction = 0;  // handle of the running or last run action, 0 none
    uint32_t actionCount = 0;
};

struct ActionSnapshot {
    uint32_t handle = 0;
    uint32_t jobId = 0;
    std::string jobName;
    std::string name, status, status2;
    uint32_t percent = 0;
    uint32_t lastStat = 0;
    bool running = false;
    std::string vendorId, moduleId, actionId;
};

JobSnapshot SnapshotJob(const TJob& job);
// False when the handle names no live action.
bool SnapshotAction(uint32_t handle, ActionSnapshot* out);

}  // namespace zk40
