#pragma once
// The operations that change a job as a user asks for them: make one,
// delete it, rename it, enable or disable it, add an action, apply edited
// settings. The main window (and its dialogs) and the zk40 command call
// these same functions, so a job is written one way only, whichever face
// the user works through.
//
// Each either does all of its work in one store commit or nothing, and
// says why it refused in a sentence meant for the user. They work on TJob
// objects and the store only: putting a job into (or taking it out of) the
// schedule queue, the tree or a list of jobs is the caller's part.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/JobSettings.h"
#include "support/StoreTime.h"

namespace zk40 {

class TJob;
class TRegKey;

namespace jobops {

// Empty when the operation was done; else why it was refused.
struct Result {
    std::string Error;
    bool Ok() const { return Error.empty(); }
    explicit operator bool() const { return Ok(); }
    static Result Refused(std::string why) { return {std::move(why)}; }
};

// The names of the jobs other than `except`, for the duplicate-name check.
std::vector<std::string> OtherNames(const std::vector<TJob*>& jobs, const TJob* except);

// Every job of the store as identifier and name, read afresh (inside the
// caller's transaction when it has one).
struct StoredJobName {
    uint32_t Id = 0;
    std::string Name;
};
std::vector<StoredJobName> StoredJobNames(const TRegKey& jobsKey);

// Creates a job with the settings (validated against the other jobs'
// names). A new job counts as just run: its first run is the schedule's
// next occurrence, not a catch-up of one that fell before it existed. Its
// State is 2 (made by the user, not run yet). `out` gets the job.
Result NewJob(const TRegKey& jobsKey, const TRegKey& actionsKey, const JobSettings& settings,
              const std::vector<TJob*>& others, const IClock& clock, std::unique_ptr<TJob>* out);

// Validates and writes every setting in one commit, then works out the
// next run as for an edit: a failed job's waiting retry is neither made nor
// moved by it. Refused for invalid settings.
Result ApplySettings(TJob& job, const JobSettings& settings, const std::vector<TJob*>& others,
                     StoreTime now);
Result ApplySettings(TJob& job, const JobSettings& settings,
                     const std::vector<std::string>& otherNames, StoreTime now);

Result Rename(TJob& job, const std::string& name, const std::vector<TJob*>& others);
Result Rename(TJob& job, const std::string& name, const std::vector<std::string>& otherNames);

// The next run follows (never while disabled).
Result SetEnabled(TJob& job, bool enabled, StoreTime now);

// One property value of an action to set when it is made.
struct ActionProperty {
    int16_t Id = 0;
    bool IsText = true;
    std::string Text;
    uint32_t Number = 0;
};

// An action to make: its catalogue type, display name and first values.
struct NewAction {
    std::string Vendor, Module, Action, Name;
    std::vector<ActionProperty> Properties;
};

// Appends an action of the catalogue type vendor:module:action with a
// display name and its first property values; `handle` gets its handle.
Result AddAction(TJob& job, std::string_view vendorId, std::string_view moduleId,
                 std::string_view actionId, std::string_view name,
                 const std::vector<ActionProperty>& properties, uint32_t* handle = nullptr);

Result AddAction(TJob& job, const NewAction& action, uint32_t* handle = nullptr);

// Creates a job with its first actions, all in one commit or nothing.
Result NewJobWithActions(const TRegKey& jobsKey, const TRegKey& actionsKey,
                         const JobSettings& settings, const std::vector<NewAction>& actions,
                         const std::vector<std::string>& otherNames, const IClock& clock,
                         std::unique_ptr<TJob>* out);

// Deletes the job's actions, its values and key, and its run history.
// Refused while the job runs, as the window has always refused it; a
// caller that knows the job runs elsewhere (another process) says so with
// runningElsewhere. The object stays for the caller to drop.
Result DeleteJob(TJob& job, bool runningElsewhere = false);

// Jobs from a .reg file of exported jobs. Adding (the default) keeps every
// job there is and refuses a file whose job names are taken; replacing
// removes every job first. Each job keeps the identifier it had in the file
// unless one here has it, and that choice is made inside the commit that
// writes it, so two imports at once never share a key. All or nothing.
struct ImportedJob {
    uint32_t Id = 0;
    std::string Name;
};
struct ImportSummary {
    std::vector<ImportedJob> Added;    // as identified here
    std::vector<ImportedJob> Removed;  // replacing: the jobs that went
};
// Parses and checks the file against the store; writes nothing. The
// summary says what an import would add and (replacing) remove.
Result PreviewImport(const TRegKey& jobsKey, const std::string& file, bool replace,
                     ImportSummary* summary);
// busy: jobs that may not be removed now (they run).
Result Import(const TRegKey& jobsKey, const std::string& file, bool replace,
              const std::vector<uint32_t>& busy, ImportSummary* summary);

// The refusal text for a job that runs.
inline constexpr char kDeleteRunningText[] = "You cannot delete a job while it is running!";

}  // namespace jobops
}  // namespace zk40
