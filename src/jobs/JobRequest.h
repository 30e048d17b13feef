#pragma once
// One change to the jobs as a value: what the command line asks of the
// running program (over the instance socket) or, with none running, of the
// store directly. The running program carries a request out with the same
// operations its window calls, so every face changes a job one way.
#include <cstdint>
#include <string>
#include <vector>

#include "jobs/JobOps.h"
#include "jobs/ScheduleInput.h"

namespace zk40 {

class TAppStore;
class TRegKey;

struct JobRequest {
    enum class Op { New, Edit, RunNow, Rename, SetEnabled, Delete, AddAction, Import };
    Op op = Op::Edit;
    uint32_t id = 0;                         // the job, for every op but New and Import
    ScheduleInput input;                     // New (with its name) and Edit
    std::string text;                        // Rename: the new name; Import: the file
    bool flag = false;                       // SetEnabled: on; Import: replace every job
    std::vector<jobops::NewAction> actions;  // New, AddAction (one)

    // The fields of the request line, and back; false for a malformed one.
    std::vector<std::string> ToFields() const;
    bool FromFields(const std::vector<std::string>& fields, std::string* error);
};

// What became of a request: refused (with the reason), or done, with the
// job it concerned and a word or sentence for the caller.
struct JobAnswer {
    bool ok = true;
    uint32_t id = 0;
    std::string text;
    static JobAnswer Refused(std::string why) { return {false, 0, std::move(why)}; }
};

// The answers of a run request that was accepted.
inline constexpr char kRunStarted[] = "started";
inline constexpr char kRunWaiting[] = "waiting";
inline constexpr char kRunQueuedPaused[] = "paused";

// "OK id text" / "ERR text" payloads of the instance's answer line.
std::string FormatJobAnswer(const JobAnswer& a);
JobAnswer ParseJobAnswer(bool ok, const std::string& text);

// Carries the request out on the store alone, for when no program runs:
// one transaction that reads the jobs afresh, so that two commands at once
// never undo each other. A run request is refused (nothing could run it).
JobAnswer PerformInStore(TAppStore& app, const TRegKey& actionsKey, const JobRequest& rq,
                         const IClock& clock);

}  // namespace zk40
