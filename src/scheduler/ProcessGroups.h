#pragma once
// Programs that actions started run in process groups of their own. A run
// record names each group with the identity of its leader, so that after a
// crash the next start can end the groups that are still those programs,
// and leave alone a group whose id has since been given to another.
#include <sys/types.h>

#include <string>

namespace zk40 {

// "<start time in clock ticks since boot> <boot id>" of the process pid, a
// zombie included; "" when there is no such process.
std::string ProcessIdentity(pid_t pid);

enum class OrphanGroupEnd {
    Ended,        // still ours: asked to stop, killed when it did not
    AlreadyGone,  // nothing of it runs any more
    NotOurs,      // its id now names another process
    Unverified,   // its leader is gone, so the rest cannot be told apart
};

// Ends the process group pgid if its leader is still the process that
// identity describes: SIGTERM to the group, then SIGKILL to what is still
// running after graceMs.
OrphanGroupEnd EndOrphanGroup(pid_t pgid, const std::string& identity, int graceMs);

// A line for the crash log: "<pgid> ended", "<pgid> had already ended", ...
std::string DescribeOrphanGroupEnd(pid_t pgid, OrphanGroupEnd end);

}  // namespace zk40
