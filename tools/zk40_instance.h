#pragma once
// How zk40 reaches a running Zarkell'40: whether one runs, telling it that
// the store changed, and handing it a job to run.
#include <string>
#include <vector>

namespace zk40::cli {

struct Answer {
    enum Kind { NoInstance, Ok, Refused, NoAnswer } kind = NoInstance;
    std::string text;
};

bool InstanceRunning(const std::string& runtimeDir);
// Whether the system service runs with this runtime folder (that of
// AppPaths::SystemService). The caller may not be let into the folder;
// then outOfReach is set and the folder's being there is taken as the
// answer: systemd makes it as the service starts and removes it as it stops.
bool SystemServiceRunning(const std::string& runtimeDir, bool* outOfReach);
Answer NotifyStoreChanged(const std::string& runtimeDir);
// Starts the job through the same hand-over as "zarkell40 /runjob:NAME".
Answer RunJob(const std::string& runtimeDir, const std::string& name);
// Loads or unloads action types (VENDOR:MODULE:ACTION) in the instance.
Answer ActionTypes(const std::string& runtimeDir, bool load, const std::vector<std::string>& types);
// One change to the jobs (the fields of a jobs/JobRequest.h request),
// carried out by the instance.
Answer JobOperation(const std::string& runtimeDir, const std::vector<std::string>& fields);
// "running", "paused" or "disabled".
Answer SchedulerStatus(const std::string& runtimeDir);
// Has the instance install a module file (full path); waits up to timeoutMs.
Answer InstallModule(const std::string& runtimeDir, const std::string& path, int timeoutMs);

}  // namespace zk40::cli
