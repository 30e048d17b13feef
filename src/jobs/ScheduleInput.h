#pragma once
// Schedules as a person types them ("--at 07:00", "--on mon", "--interval
// 0:05", "--window 08:00-18:00", "--weekdays mon-fri") turned into the
// settings of a job. The command line parses them here, and so does the
// running program when it is asked to change a job: an edit is handed over
// as the words typed, so that it is applied to the job as it is at that
// moment and changes only what was asked.
#include <map>
#include <string>
#include <vector>

#include "jobs/JobSettings.h"
#include "support/StoreTime.h"

namespace zk40 {

// The typed options by name, without "--" ("kind", "at", "on", "interval",
// "window", "no-window", "weekdays", "retry", "retry-delay", "name",
// "disabled"); an option without a value maps to "".
struct ScheduleInput {
    std::map<std::string, std::string> options;

    bool Has(const std::string& name) const { return options.count(name) > 0; }
    std::string Get(const std::string& name) const {
        auto it = options.find(name);
        return it == options.end() ? std::string() : it->second;
    }
    bool Empty() const { return options.empty(); }

    // "name=value" fields, and back; false for a field that is no option.
    std::vector<std::string> ToFields() const;
    bool FromFields(const std::vector<std::string>& fields);
};

// The option names ScheduleInput knows.
bool IsScheduleOption(const std::string& name);

// Applies the typed options to s; `now` anchors the dates they leave open.
// "" when every option was understood, else a sentence that names the
// option and says what it takes (s is then partly changed: apply to a
// copy).
std::string ApplyScheduleInput(const ScheduleInput& in, JobSettings& s, StoreTime now);

}  // namespace zk40
