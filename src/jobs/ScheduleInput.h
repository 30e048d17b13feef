#pragma once
// Schedules as a person gives them turned into the settings of a job.
//
// Typed ("--at 07:00", "--on mon", "--interval 0:05", "--window
// 08:00-18:00", "--weekdays mon-fri"): the command line parses them here,
// and so does the running program when it is asked to change a job: an edit
// is handed over as the words typed, so that it is applied to the job as it
// is at that moment and changes only what was asked.
//
// Chosen from lists (the job wizard and the job form): AnchorOfChoice. The
// typed options end there too, so a date means the same whichever way it
// was given.
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

// A date and time a person chose for a schedule; 0 in a date field means
// none was chosen (today's is taken). The lists of the dialogs offer days a
// month lacks (31 April), so a choice need not be a real date.
struct ScheduleChoice {
    uint32_t kind = 0;  // SchedKind of jobs/NextRun.h
    int year = 0;
    int month = 0;    // 1..12
    int day = 0;      // 1..31
    int weekday = 0;  // 1 = Monday ... 7 = Sunday: weekly only, and then it decides the date
    int hour = 0;
    int minute = 0;
};

// The JobSettings::Time a choice gives, and what had to be changed to get
// it, for the dialogs to tell the user in their own words.
struct ScheduleAnchor {
    StoreTime time = 0;
    // A "once" job without a chosen year runs in this one (0: a year was
    // chosen, or the kind repeats and has no use for one).
    int takenYear = 0;
    // The date as chosen (with the year taken) when it does not exist; all 0
    // when it does. The stored date is the one in `time`.
    int missingYear = 0, missingMonth = 0, missingDay = 0;
};

// A date that does not exist becomes the nearest one that serves the kind:
// for monthly jobs the next month that has the day (the job repeats on that
// day), for yearly ones on 29 February the next leap year, else the last
// day the month has in every year (28 February, 30 April); for any other
// kind the month's last day. A weekly choice with a weekday is the first
// day from today on that falls on it.
ScheduleAnchor AnchorOfChoice(const ScheduleChoice& choice, StoreTime now);

// The option names ScheduleInput knows.
bool IsScheduleOption(const std::string& name);

// Applies the typed options to s; `now` anchors the dates they leave open.
// "" when every option was understood, else a sentence that names the
// option and says what it takes (s is then partly changed: apply to a
// copy).
std::string ApplyScheduleInput(const ScheduleInput& in, JobSettings& s, StoreTime now);

}  // namespace zk40
