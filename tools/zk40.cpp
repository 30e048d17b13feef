// zk40: everyday work with Zarkell'40 from the shell: list, check, add,
// change, run and look back at jobs. A change is a job request
// (jobs/JobRequest.h): a running program carries it out itself with the
// operations its window uses, so it applies at once and nothing the program
// holds is lost; with none running the same operations change the store and
// the next start finds it.
//
// Exit status: 0 done, 1 refused (the reason on standard error), 2 the
// command line was wrong.
#include <pwd.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/SingleInstance.h"
#include "jobs/Job.h"
#include "jobs/JobOps.h"
#include "jobs/JobRequest.h"
#include "jobs/ScheduleInput.h"
#include "jobs/JobSettings.h"
#include "modules/HostServices.h"
#include "modules/ModuleHost.h"
#include "jobs/NextRun.h"
#include "store/AppPaths.h"
#include "store/AppStore.h"
#include "store/RegFile.h"
#include "store/RunHistory.h"
#include "update/ModuleInstall.h"
#include "zk40_instance.h"

using namespace zk40;

namespace {

// ---- failures ----

struct UsageError {
    std::string text;
};
struct Refusal {
    std::string text;
};

[[noreturn]] void Usage(const std::string& text) { throw UsageError{text}; }
[[noreturn]] void Refuse(const std::string& text) { throw Refusal{text}; }

// The catalogue identity of the "Run Program" action type that comes with
// the program.
constexpr char kRunVendor[] = "DNTRX-14";
constexpr char kRunModule[] = "RUNPROG";
constexpr char kRunAction[] = "RUNPROGRAM";

// ---- the command line of one subcommand ----

struct OptionDef {
    const char* name;  // without "--"
    bool takesValue;
};

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::vector<std::string> afterDashes;  // everything after "--"
    bool dashes = false;

    bool Has(const std::string& o) const { return options.count(o) > 0; }
    std::string Get(const std::string& o, const std::string& def = {}) const {
        auto it = options.find(o);
        return it == options.end() ? def : it->second;
    }
};

Args Parse(const std::vector<std::string>& words, std::initializer_list<OptionDef> defs) {
    Args a;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--") {
            a.dashes = true;
            a.afterDashes.assign(words.begin() + static_cast<long>(i) + 1, words.end());
            break;
        }
        if (w.size() > 2 && w.compare(0, 2, "--") == 0) {
            std::string name = w.substr(2), value;
            bool inlineValue = false;
            if (size_t eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                inlineValue = true;
            }
            const OptionDef* def = nullptr;
            for (const OptionDef& d : defs)
                if (name == d.name) def = &d;
            if (!def) Usage("unknown option --" + name);
            if (def->takesValue && !inlineValue) {
                if (i + 1 >= words.size()) Usage("--" + name + " needs a value");
                value = words[++i];
            } else if (!def->takesValue && inlineValue) {
                Usage("--" + name + " takes no value");
            }
            a.options[name] = value;
            continue;
        }
        if (w.size() > 1 && w[0] == '-' && !isdigit(static_cast<unsigned char>(w[1])))
            Usage("unknown option " + w);
        a.positional.push_back(w);
    }
    return a;
}

uint32_t ParseCount(const std::string& text, const char* what, uint32_t max) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end || errno || v > max || text[0] == '-')
        Usage(std::string(what) + " must be a whole number from 0 to " + std::to_string(max) +
              ", not \"" + text + "\"");
    return static_cast<uint32_t>(v);
}

// ---- readable times ----

const char* const kWeekdayShort[] = {"", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

// "Thu 2026-12-10 14:05:00"; "never" and "-" for the special values.
std::string When(StoreTime t, const char* none = "-") {
    if (t == kNeverTime) return "never";
    if (t == 0) return none;
    return std::string(kWeekdayShort[Weekday(t)]) + " " + FormatStoreTime(t);
}

std::string Relative(StoreTime t, StoreTime now) {
    if (t == 0 || t == kNeverTime) return {};
    int64_t d = static_cast<int64_t>(t) - static_cast<int64_t>(now);
    bool past = d < 0;
    uint64_t s = static_cast<uint64_t>(past ? -d : d);
    std::string amount;
    if (s < 60)
        amount = std::to_string(s) + " s";
    else if (s < 3600)
        amount = std::to_string(s / 60) + " min";
    else if (s < 86400 * 2)
        amount = std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
    else
        amount = std::to_string(s / 86400) + " days";
    return past ? amount + " ago" : "in " + amount;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// Unix seconds for scripts; null for none.
std::string JsonTime(StoreTime t) {
    if (t == 0 || t == kNeverTime) return "null";
    return std::to_string(ToUnixTime(t));
}

// Joins program arguments so that the Run Program module's shell-like
// splitting gives them back: double quotes around words that need them,
// with backslashes before the characters a double-quoted word treats
// specially.
std::string JoinForModule(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty()) out += ' ';
        if (!w.empty() && w.find_first_of(" \t\n'\"\\") == std::string::npos) {
            out += w;
            continue;
        }
        out += '"';
        for (char c : w) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out;
}

// ---- close matches for a name nobody has ----

size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            bool same = tolower(static_cast<unsigned char>(a[i - 1])) ==
                        tolower(static_cast<unsigned char>(b[j - 1]));
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (same ? 0 : 1)});
        }
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> CloseMatches(const std::string& name, const std::vector<std::string>& all) {
    std::vector<std::pair<size_t, std::string>> scored;
    const std::string ln = Lower(name);
    for (const std::string& n : all) {
        const std::string l = Lower(n);
        size_t d = Distance(name, n);
        bool contains = !ln.empty() && (l.find(ln) != std::string::npos || ln.find(l) != std::string::npos);
        if (l == ln || contains || d <= std::max<size_t>(2, name.size() / 4))
            scored.emplace_back(l == ln ? 0 : d, n);
    }
    std::sort(scored.begin(), scored.end());
    std::vector<std::string> out;
    for (size_t i = 0; i < scored.size() && i < 5; ++i) out.push_back(scored[i].second);
    return out;
}

// ---- the program's state as zk40 sees it ----

class Context {
public:
    // With `system` (--system), the store, state folder and socket of the
    // system service, as its unit gives them to it, in place of this user's
    // own. `command` is the command as typed, to name in a hint.
    explicit Context(bool system = false, std::string command = {})
        : paths_(system ? AppPaths::SystemService() : AppPaths::FromEnvironment()),
          system_(system),
          command_(std::move(command)) {}

    const AppPaths& Paths() const { return paths_; }
    TAppStore& App() {
        if (!app_) {
            if (system_) CheckSystemStore();
            app_ = std::make_unique<TAppStore>(paths_);
            if (!app_->Store())
                Refuse("cannot open the store " + paths_.storeFile + ": " + app_->OpenError());
            actions_ = TRegKey(app_->product, "actions");
        }
        return *app_;
    }
    const TRegKey& ActionsKey() {
        App();
        return actions_;
    }
    StoreTime Now() const { return SystemClock::Instance().Now(); }

    // Every job of the store, in the order of their keys.
    std::vector<TJob*> Jobs() {
        if (!loaded_) {
            loaded_ = true;
            TAppStore& app = App();
            // One read transaction for the whole load: ten thousand jobs
            // then cost one snapshot of the file instead of one each.
            app.Store()->Transaction([&] {
                std::vector<std::string> names;
                app.Store()->ListSubKeys(app.jobs.Id(), &names);
                jobs_.reserve(names.size());
                for (const std::string& n : names) {
                    char* end = nullptr;
                    unsigned long id = strtoul(n.c_str(), &end, 16);
                    if (n.size() != 8 || *end) continue;
                    jobs_.push_back(std::make_unique<TJob>(app.jobs, actions_,
                                                           static_cast<uint32_t>(id)));
                }
                return true;
            });
        }
        std::vector<TJob*> out;
        for (auto& j : jobs_) out.push_back(j.get());
        return out;
    }

    // The job of exactly this name. Unknown or shared names are refused with
    // the close matches.
    TJob& Find(const std::string& name) {
        std::vector<TJob*> found;
        std::vector<std::string> names;
        for (TJob* j : Jobs()) {
            std::string n = JobSettings::FromJob(*j).Name;
            if (n == name) found.push_back(j);
            names.push_back(n);
        }
        if (found.size() == 1) return *found[0];
        if (found.size() > 1)
            Refuse(std::to_string(found.size()) + " jobs are named \"" + name +
                   "\"; rename all but one of them first (in the window, or with zk40-reg)");
        std::string text = "no job is named \"" + name + "\"";
        std::vector<std::string> close = CloseMatches(name, names);
        if (!close.empty()) {
            text += "; did you mean";
            for (size_t i = 0; i < close.size(); ++i)
                text += (i ? ", \"" : " \"") + close[i] + "\"";
            text += "?";
        }
        Refuse(text);
    }

    void Forget(TJob* job) {
        jobs_.erase(std::remove_if(jobs_.begin(), jobs_.end(),
                                   [job](const auto& p) { return p.get() == job; }),
                    jobs_.end());
    }
    void Adopt(std::unique_ptr<TJob> job) { jobs_.push_back(std::move(job)); }

    // Says at the end when the system service runs while none of this
    // user's instances does, and this user's own store was used.
    ~Context() {
        if (!ownStoreAlone_ || hinted_) return;
        if (std::string hint = SystemServiceHint(true); !hint.empty())
            fprintf(stderr, "zk40: note: %s\n", hint.c_str());
    }

    bool InstanceRunning() {
        if (cli::InstanceRunning(paths_.runtimeDir)) return true;
        ownStoreAlone_ = true;
        return false;
    }

    // Carries out one change to the jobs: in the running program when one
    // runs (by the same operations as its window, so it applies at once and
    // nothing it holds is lost), else on the store. Refuses with the
    // operation's own reason.
    JobAnswer Perform(const JobRequest& rq) {
        cli::Answer a = cli::JobOperation(paths_.runtimeDir, rq.ToFields());
        JobAnswer out;
        switch (a.kind) {
            case cli::Answer::Ok:
            case cli::Answer::Refused:
                out = ParseJobAnswer(a.kind == cli::Answer::Ok, a.text);
                break;
            case cli::Answer::NoAnswer:
                Refuse("the running instance did not answer (" + a.text +
                       "); the change may not have been made: see zk40 list");
            case cli::Answer::NoInstance:
                ownStoreAlone_ = true;
                out = PerformInStore(App(), ActionsKey(), rq, SystemClock::Instance());
                break;
        }
        if (!out.ok) Refuse(out.text);
        // What was read before is out of date now.
        loaded_ = false;
        jobs_.clear();
        return out;
    }

    // The job as the store has it now.
    std::unique_ptr<TJob> Fresh(uint32_t id) {
        return std::make_unique<TJob>(App().jobs, ActionsKey(), id);
    }

    // "Zarkell'40 is not running" and `orElse`; but when the system service
    // runs, how to reach that instead: the jobs meant are likely its own.
    std::string NotRunning(const std::string& orElse) {
        std::string hint = SystemServiceHint(false);
        hinted_ = !hint.empty();
        return hint.empty() ? "Zarkell'40 is not running" + orElse : hint;
    }
    // This user's own store was changed with none of this user's instances
    // running: the note at the end names the system service if it runs.
    void NoteSystemService() { ownStoreAlone_ = true; }

private:
    std::string SystemServiceHint(bool usedOwnStore) const {
        if (system_) return {};
        bool outOfReach = false;
        if (!cli::SystemServiceRunning(AppPaths::SystemService().runtimeDir, &outOfReach))
            return {};
        return std::string(
                   "Zarkell'40 is not running for you, but its system service is; it "
                   "keeps jobs of its own") +
               (usedOwnStore ? ", not those in " + paths_.storeFile : "") + ": use \"" +
               (outOfReach ? "sudo " : "") + "zk40 --system " + command_ + "\" for them";
    }

    // The system service's store belongs to the user the service runs as:
    // another one (root too) would leave files there that the service
    // cannot use, and the service's socket answers nobody else.
    void CheckSystemStore() const {
        struct stat st {};
        if (stat(paths_.dataDir.c_str(), &st) != 0) {
            const int err = errno;
            Refuse("the system service has no store here: " + paths_.dataDir +
                   (err == ENOENT ? " does not exist; the service makes it when it first starts "
                                    "(systemctl start zarkell40.service)"
                                  : std::string(": ") + strerror(err)));
        }
        if (st.st_uid == geteuid()) return;
        const passwd* pw = getpwuid(st.st_uid);
        const std::string who = pw ? pw->pw_name : "uid " + std::to_string(st.st_uid);
        Refuse("the system service runs as " + who + ", whose store " + paths_.dataDir +
               " is not yours to change: run zk40 --system as " + who + " (" +
               (st.st_uid == 0 ? std::string("sudo") : "sudo -u " + who) + " zk40 --system " +
               command_ + ")");
    }

    AppPaths paths_;
    bool system_ = false;
    std::string command_;
    bool ownStoreAlone_ = false;
    bool hinted_ = false;
    std::unique_ptr<TAppStore> app_;
    TRegKey actions_;
    bool loaded_ = false;
    std::vector<std::unique_ptr<TJob>> jobs_;
};

// ---- schedule options shared by add, edit and next ----

const char kScheduleHelp[] =
    "Schedule options:\n"
    "  --kind KIND          manually, startup, once, hourly, daily, weekly, monthly,\n"
    "                       yearly or every\n"
    "  --at TIME            HH:MM (time of day), or 'YYYY-MM-DD HH:MM' (a date too:\n"
    "                       the day for once, weekly, monthly and yearly)\n"
    "  --on DAY             weekly: a weekday (mon...sun); monthly: a day (1-31);\n"
    "                       yearly: MM-DD\n"
    "  --interval H:MM      every: hours and minutes between runs\n"
    "  --window HH:MM-HH:MM hourly, every, startup: run only inside this daily\n"
    "                       window (the stop may be before the start: overnight)\n"
    "  --weekdays DAYS      daily, hourly, every, startup: days to run on, such as\n"
    "                       mon-fri, sat,sun or all\n"
    "  --retry COUNT        retries after a failed run (default 0)\n"
    "  --retry-delay SECS   seconds before each retry\n";

// The schedule options as typed.
ScheduleInput InputOf(const Args& a) {
    ScheduleInput in;
    for (const auto& [name, value] : a.options)
        if (IsScheduleOption(name)) in.options[name] = value;
    return in;
}

// Takes the schedule options into s; `now` anchors dates that the options
// leave open. A value the options cannot take is wrong usage.
void ApplyScheduleOptions(const Args& a, JobSettings& s, StoreTime now) {
    if (std::string why = ApplyScheduleInput(InputOf(a), s, now); !why.empty()) Usage(why);
}

// The next `count` run times from `now`, by the program's own next-run
// computation: the first as the scheduler would work it out now, each
// further one as if the run before it had just happened.
std::vector<StoreTime> NextRuns(NextRunInput in, StoreTime now, uint32_t count) {
    std::vector<StoreTime> out;
    // "On Startup" runs are tied to a start of the program, not to a time.
    if (in.SchedType == kSchedOnStartup) return out;
    for (uint32_t i = 0; i < count; ++i) {
        NextRunResult r = ComputeNextRun(in, now, 0);
        if (r.NextRun == kNeverTime || r.NextRun == 0) break;
        if (!out.empty() && r.NextRun <= out.back()) break;  // nothing further
        out.push_back(r.NextRun);
        in.LastRun = r.NextRun;
        in.NextRun = r.NextRun;
        in.LastStat = 0;
        in.RetriesDone = 0;
        // The scheduler works out the next run once a run has ended, which is
        // never in the same second it began.
        now = r.NextRun + 1;
    }
    return out;
}

NextRunInput InputOf(const JobSettings& s, StoreTime lastRun, uint32_t lastStat) {
    NextRunInput in;
    in.SchedType = s.SchedType;
    in.Time = s.Time;
    in.Hour = s.Hour;
    in.Minute = s.Minute;
    in.LastRun = lastRun;
    in.LastStat = lastStat;
    in.RetryCount = s.RetryCount;
    in.RetryDelay = s.RetryDelay;
    in.StartTime = s.WindowStart;
    in.StopTime = s.WindowStop;
    in.Flags = s.FlagsWith(0);
    return in;
}

// ---- subcommands ----

struct Command {
    const char* name;
    const char* summary;
    const char* help;
    std::function<int(Context&, const std::vector<std::string>&)> run;
};

bool WantsHelp(const std::vector<std::string>& words) {
    for (const std::string& w : words) {
        if (w == "--") return false;
        if (w == "--help" || w == "-h") return true;
    }
    return false;
}

std::string StateText(TJob& job, bool instance) {
    TSync::TLock lock(job);
    if (!job.Enabled()) return "disabled";
    uint32_t state = job.State.Get();
    if (instance && (state == 3 || state == 4)) return "running";
    if (state == 2 || state == 1) return "new";
    return "enabled";
}

int CmdList(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {{"json", false}});
    if (!a.positional.empty()) Usage("list takes no names");
    std::vector<TJob*> jobs = ctx.Jobs();
    std::map<uint32_t, RunRecord> last;
    if (auto h = TRunHistory::Open(ctx.App().Store()->Path()))
        for (RunRecord& r : h->LastRuns()) last[r.JobId] = std::move(r);
    const bool instance = ctx.InstanceRunning();
    if (instance) {
        cli::Answer st = cli::SchedulerStatus(ctx.Paths().runtimeDir);
        if (st.kind == cli::Answer::Ok && st.text == "paused")
            fprintf(stderr,
                    "zk40: the scheduler is paused (SIGUSR1): no job starts until it "
                    "continues (SIGUSR2); changes and run requests are still taken\n");
        else if (st.kind == cli::Answer::Ok && st.text == "disabled")
            fprintf(stderr, "zk40: the scheduler is turned off in the window: jobs run only by "
                            "hand\n");
    }
    struct Row {
        std::string name, kind, state, next, last, result;
        JobSettings s;
        TJob* job;
        StoreTime nextRun;
    };
    std::vector<Row> rows;
    rows.reserve(jobs.size());
    for (TJob* j : jobs) {
        Row r;
        r.s = JobSettings::FromJob(*j);
        r.job = j;
        r.name = r.s.Name;
        r.kind = DescribeSchedule(r.s);
        r.state = StateText(*j, instance);
        {
            TSync::TLock lock(*j);
            r.nextRun = j->NextRun.Get();
        }
        r.next = r.s.SchedType == kSchedOnStartup && r.nextRun == kNeverTime && r.s.Enabled
                     ? "at next start"
                     : When(r.nextRun);
        auto it = last.find(j->Id());
        if (it != last.end()) {
            r.last = When(it->second.Start);
            r.result = it->second.Result ? "failed" : "ok";
        } else {
            r.last = "-";
            r.result = "-";
        }
        rows.push_back(std::move(r));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row& x, const Row& y) {
        return strcasecmp(x.name.c_str(), y.name.c_str()) < 0;
    });
    if (a.Has("json")) {
        std::string out = "[";
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row& r = rows[i];
            auto it = last.find(r.job->Id());
            out += i ? ",\n " : "\n ";
            out += "{\"name\": " + JsonString(r.name) + ", \"id\": \"" +
                   std::string(r.job->KeyName()) + "\", \"kind\": " +
                   JsonString(SchedKindWord(r.s.SchedType)) +
                   ", \"schedule\": " + JsonString(r.kind) + ", \"state\": " + JsonString(r.state) +
                   ", \"enabled\": " + (r.s.Enabled ? "true" : "false") +
                   ", \"next_run\": " + JsonTime(r.nextRun) +
                   ", \"last_run\": " + (it != last.end() ? JsonTime(it->second.Start) : "null") +
                   ", \"last_result\": " +
                   (it != last.end() ? JsonString(it->second.Result ? "failed" : "ok") : "null") +
                   "}";
        }
        out += rows.empty() ? "]\n" : "\n]\n";
        fputs(out.c_str(), stdout);
        return 0;
    }
    if (rows.empty()) {
        printf("No jobs yet. Add one with: zk40 add NAME --kind daily --at 02:00 -- PROGRAM ARGS...\n");
        return 0;
    }
    // Column widths by display width; the schedule texts hold en dashes.
    auto width = [](const std::string& s) {
        size_t w = 0;
        for (unsigned char c : s) w += (c & 0xC0) != 0x80;
        return w;
    };
    size_t wn = 4, wk = 8, ws = 5, wx = 8;
    for (const Row& r : rows) {
        wn = std::max(wn, width(r.name));
        wk = std::max(wk, width(r.kind));
        ws = std::max(ws, width(r.state));
        wx = std::max(wx, width(r.next));
    }
    wn = std::min<size_t>(wn, 40);
    auto pad = [&](const std::string& s, size_t w) {
        size_t have = width(s);
        return s + std::string(have < w ? w - have : 0, ' ');
    };
    std::string out = pad("NAME", wn) + "  " + pad("SCHEDULE", wk) + "  " + pad("STATE", ws) +
                      "  " + pad("NEXT RUN", wx) + "  LAST RUN                 RESULT\n";
    for (const Row& r : rows)
        out += pad(r.name, wn) + "  " + pad(r.kind, wk) + "  " + pad(r.state, ws) + "  " +
               pad(r.next, wx) + "  " + pad(r.last, 23) + "  " + r.result + "\n";
    fputs(out.c_str(), stdout);
    return 0;
}

void PrintAction(TJob& job, size_t pos) {
    TAction* a = job.ActionAt(pos);
    if (!a) return;
    std::string name, vendor, module, action, status, status2;
    uint32_t lastStat, handle = a->Handle();
    {
        TSync::TLock lock(job);
        TSync::TLock al(*a);
        name = a->Name.Get();
        vendor = a->VendorID.Get();
        module = a->ModuleID.Get();
        action = a->ActionID.Get();
        status = a->Status.Get();
        status2 = a->Status2.Get();
        lastStat = a->LastStat.Get();
    }
    printf("  %zu. %s  [%s:%s:%s]\n", pos + 1, name.empty() ? "(no name)" : name.c_str(),
           vendor.c_str(), module.c_str(), action.c_str());
    TRegKey rid(a->Key(), "RID", false);
    if (rid.IsValid()) {
        std::vector<RegNamedValue> values;
        rid.Store()->LoadValues(rid.Id(), &values);
        const bool runProgram = vendor == kRunVendor && module == kRunModule && action == kRunAction;
        static const std::map<std::string, std::string> kRunNames = {
            {"RID-0001", "program"},       {"RID-0002", "arguments"},
            {"RID-0003", "working folder"}, {"RID-0004", "time limit (s)"},
            {"RID-0005", "accepted exit codes"}, {"RID-0006", "output lines kept"}};
        for (const RegNamedValue& v : values) {
            std::string label = v.name;
            if (runProgram) {
                auto it = kRunNames.find(v.name);
                if (it != kRunNames.end()) label = it->second;
            }
            uint32_t n;
            std::string shown = v.value.type == REG_DWORD && DecodeDword(v.value.data, &n)
                                    ? std::to_string(n)
                                    : DecodeRegString(v.value.data);
            printf("       %-20s %s\n", (label + ":").c_str(), shown.c_str());
        }
    }
    printf("       %-20s %s%s\n", "last status:", status.c_str(), lastStat ? "  (failed)" : "");
    if (!status2.empty()) printf("       %-20s %s\n", "", status2.c_str());
    uint32_t children = job.ChildCount(handle);
    if (children) {
        printf("       children:\n");
        for (uint32_t c = 1; c <= children; ++c) {
            printf("         %s\n", job.ChildText(handle, c).c_str());
            uint32_t g = job.GrandchildCount(handle, c);
            for (uint32_t m = 1; m <= g; ++m)
                printf("           %s\n", job.GrandchildText(handle, c, m).c_str());
        }
    }
}

int CmdShow(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {});
    if (a.positional.size() != 1) Usage("show takes one job name");
    TJob& job = ctx.Find(a.positional[0]);
    JobSettings s = JobSettings::FromJob(job);
    StoreTime next, lastRun;
    uint32_t lastStat;
    {
        TSync::TLock lock(job);
        next = job.NextRun.Get();
        lastRun = job.LastRun.Get();
        lastStat = job.LastStat.Get();
    }
    const StoreTime now = ctx.Now();
    printf("Job:        %s  (id %s)\n", s.Name.c_str(), std::string(job.KeyName()).c_str());
    printf("Schedule:   %s\n", DescribeSchedule(s).c_str());
    printf("State:      %s\n", StateText(job, ctx.InstanceRunning()).c_str());
    std::string rel = Relative(next, now);
    printf("Next run:   %s%s\n", When(next).c_str(), rel.empty() ? "" : ("  (" + rel + ")").c_str());
    auto h = TRunHistory::Open(ctx.App().Store()->Path());
    std::vector<RunRecord> runs = h ? h->Runs(job.Id(), 1) : std::vector<RunRecord>{};
    if (!runs.empty())
        printf("Last run:   %s, %s: %s\n", When(runs[0].Start).c_str(),
               runs[0].Result ? "failed" : "ok", runs[0].Status.c_str());
    else
        printf("Last run:   none recorded\n");
    if (s.RetryCount)
        printf("Retries:    up to %u after a failure, %u s apart%s\n", s.RetryCount, s.RetryDelay,
               (lastStat & 0xFFFF) ? "; the last run failed" : "");
    else
        printf("Retries:    none\n");
    printf("Options:    quick list %s, stop on error %s, password %s\n", s.QuickList ? "on" : "off",
           s.StopOnError ? "on" : "off", s.Password.empty() ? "none" : "set");
    (void)lastRun;
    size_t n = job.ActionCount();
    printf("Actions:    %zu\n", n);
    for (size_t p = 0; p < n; ++p) PrintAction(job, p);
    return 0;
}

int CmdNext(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {{"kind", true},
                           {"at", true},
                           {"on", true},
                           {"interval", true},
                           {"window", true},
                           {"weekdays", true},
                           {"retry", true},
                           {"retry-delay", true},
                           {"count", true},
                           {"from", true}});
    uint32_t count = a.Has("count") ? ParseCount(a.Get("count"), "--count", 10000) : 5;
    StoreTime now = ctx.Now();
    if (a.Has("from") && !ParseStoreTime(a.Get("from"), now))
        Usage("--from takes 'YYYY-MM-DD HH:MM[:SS]', not \"" + a.Get("from") + "\"");
    JobSettings s;
    NextRunInput in;
    std::string title;
    if (!a.positional.empty()) {
        if (a.positional.size() != 1) Usage("next takes one job name");
        for (const char* o : {"kind", "at", "on", "interval", "window", "weekdays"})
            if (a.Has(o)) Usage("--" + std::string(o) + " is for a schedule without a job name");
        TJob& job = ctx.Find(a.positional[0]);
        s = JobSettings::FromJob(job);
        TSync::TLock lock(job);
        in = InputOf(s, job.LastRun.Get(), job.LastStat.Get());
        // A dry run: a job that runs right now is treated as if it had not
        // failed yet, and nothing is written back.
        title = s.Name;
    } else {
        if (!a.Has("kind")) Usage("next needs a job name or --kind and the schedule options");
        s.Name = "next";
        s.WindowStart = 0;
        s.WindowStop = kSecondsPerDay - 1;
        ApplyScheduleOptions(a, s, now);
        std::string why = s.Validate();
        if (!why.empty()) Refuse(why);
        // As a job made now: nothing before now counts as missed.
        in = InputOf(s, now, 0);
        title = DescribeSchedule(s);
    }
    if (!s.Enabled)
        printf("%s is disabled; enabled, it would run at:\n", title.c_str());
    else if (a.positional.empty())
        printf("%s:\n", title.c_str());
    else
        printf("%s: %s\n", title.c_str(), DescribeSchedule(s).c_str());
    if (s.SchedType == kSchedManually) {
        printf("  only when run by hand (zk40 run)\n");
        return 0;
    }
    if (s.SchedType == kSchedOnStartup) {
        printf("  within a minute of each start of the program\n");
        return 0;
    }
    std::vector<StoreTime> times = NextRuns(in, now, count);
    if (times.empty()) printf("  never again\n");
    for (StoreTime t : times) printf("  %s  (%s)\n", When(t).c_str(), Relative(t, now).c_str());
    return 0;
}

using jobops::ActionProperty;

std::vector<ActionProperty> RunProgramProperties(const std::vector<std::string>& command) {
    if (command.empty()) Usage("the program to run follows \"--\"");
    return {{1, true, command[0], 0},
            {2, true, JoinForModule({command.begin() + 1, command.end()}), 0}};
}

int CmdAdd(Context& ctx, const std::vector<std::string>& words) {
    std::initializer_list<OptionDef> defs = {
        {"kind", true},   {"at", true},       {"on", true},    {"interval", true},
        {"window", true}, {"weekdays", true}, {"retry", true}, {"retry-delay", true},
        {"disabled", false}, {"action-name", true}};
    Args a = Parse(words, defs);
    if (a.positional.size() != 1) Usage("add takes one job name (quote a name with blanks)");
    if (!a.Has("kind")) Usage("add needs --kind");
    if (!a.dashes || a.afterDashes.empty())
        Usage("add needs the program to run after \"--\", such as: -- /usr/bin/backup --all");
    JobRequest rq;
    rq.op = JobRequest::Op::New;
    rq.input = InputOf(a);
    rq.input.options["name"] = a.positional[0];
    JobSettings s;
    ApplyScheduleOptions(a, s, ctx.Now());
    s.Name = a.positional[0];
    rq.actions.push_back({kRunVendor, kRunModule, kRunAction,
                          a.Get("action-name", "Run " + a.afterDashes[0]),
                          RunProgramProperties(a.afterDashes)});
    // The job and its action are made together or not at all.
    JobAnswer done = ctx.Perform(rq);
    StoreTime next;
    {
        std::unique_ptr<TJob> job = ctx.Fresh(done.id);
        TSync::TLock lock(*job);
        next = job->NextRun.Get();
    }
    printf("Added \"%s\": %s; next run %s\n", s.Name.c_str(), DescribeSchedule(s).c_str(),
           s.SchedType == kSchedOnStartup ? "at the next start" : When(next).c_str());
    return 0;
}

// "Changed ...": the job as it is now, after the operation.
void PrintChanged(Context& ctx, uint32_t id) {
    std::unique_ptr<TJob> job = ctx.Fresh(id);
    JobSettings s = JobSettings::FromJob(*job);
    StoreTime next;
    {
        TSync::TLock lock(*job);
        next = job->NextRun.Get();
    }
    printf("Changed \"%s\": %s; next run %s\n", s.Name.c_str(), DescribeSchedule(s).c_str(),
           When(next).c_str());
}

int CmdEdit(Context& ctx, const std::vector<std::string>& words) {
    std::initializer_list<OptionDef> defs = {
        {"kind", true},   {"at", true},       {"on", true},    {"interval", true},
        {"window", true}, {"weekdays", true}, {"retry", true}, {"retry-delay", true},
        {"name", true},   {"no-window", false}};
    Args a = Parse(words, defs);
    if (a.positional.size() != 1) Usage("edit takes one job name");
    if (a.options.empty()) Usage("edit needs at least one option to change (see --help)");
    TJob& job = ctx.Find(a.positional[0]);
    // Wrong usage shows here; the change itself is made to the job as it is
    // when the operation runs, and names only what was typed.
    JobSettings check = JobSettings::FromJob(job);
    ApplyScheduleOptions(a, check, ctx.Now());
    JobRequest rq;
    rq.op = JobRequest::Op::Edit;
    rq.id = job.Id();
    rq.input = InputOf(a);
    JobAnswer done = ctx.Perform(rq);
    PrintChanged(ctx, done.id);
    return 0;
}

int CmdRename(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {});
    if (a.positional.size() != 2) Usage("rename takes the job's name and its new name");
    JobRequest rq;
    rq.op = JobRequest::Op::Rename;
    rq.id = ctx.Find(a.positional[0]).Id();
    rq.text = a.positional[1];
    ctx.Perform(rq);
    printf("Renamed \"%s\" to \"%s\"\n", a.positional[0].c_str(), a.positional[1].c_str());
    return 0;
}

int CmdEnable(Context& ctx, const std::vector<std::string>& words, bool on) {
    Args a = Parse(words, {});
    if (a.positional.empty()) Usage(std::string(on ? "enable" : "disable") + " takes job names");
    std::vector<uint32_t> ids;
    for (const std::string& n : a.positional) ids.push_back(ctx.Find(n).Id());
    for (size_t i = 0; i < ids.size(); ++i) {
        JobRequest rq;
        rq.op = JobRequest::Op::SetEnabled;
        rq.id = ids[i];
        rq.flag = on;
        ctx.Perform(rq);
        StoreTime next;
        {
            std::unique_ptr<TJob> job = ctx.Fresh(ids[i]);
            TSync::TLock lock(*job);
            next = job->NextRun.Get();
        }
        if (on)
            printf("Enabled \"%s\"; next run %s\n", a.positional[i].c_str(), When(next).c_str());
        else
            printf("Disabled \"%s\"; it keeps its schedule and runs only by hand\n",
                   a.positional[i].c_str());
    }
    return 0;
}

int CmdDelete(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {});
    if (a.positional.size() != 1) Usage("delete takes one job name");
    JobRequest rq;
    rq.op = JobRequest::Op::Delete;
    rq.id = ctx.Find(a.positional[0]).Id();
    ctx.Perform(rq);
    printf("Deleted \"%s\"\n", a.positional[0].c_str());
    return 0;
}

int CmdActionAdd(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {{"type", true}, {"name", true}});
    if (a.positional.size() != 1) Usage("action add takes one job name");
    std::string type = a.Get("type", std::string(kRunVendor) + ":" + kRunModule + ":" + kRunAction);
    size_t c1 = type.find(':'), c2 = c1 == std::string::npos ? c1 : type.find(':', c1 + 1);
    if (c2 == std::string::npos) Usage("--type takes VENDOR:MODULE:ACTION, not \"" + type + "\"");
    std::string v = type.substr(0, c1), m = type.substr(c1 + 1, c2 - c1 - 1), act = type.substr(c2 + 1);
    const bool runProgram = v == kRunVendor && m == kRunModule && act == kRunAction;
    std::vector<ActionProperty> props;
    if (runProgram) {
        if (!a.dashes || a.afterDashes.empty())
            Usage("a Run Program action needs the program after \"--\"");
        props = RunProgramProperties(a.afterDashes);
    } else if (a.dashes) {
        Usage("only a Run Program action takes a program after \"--\"");
    }
    TJob& job = ctx.Find(a.positional[0]);
    if (!TRegKey(ctx.ActionsKey(), v + "\\" + m + "\\" + act, false).IsValid())
        fprintf(stderr, "zk40: note: %s is not in the catalogue (see zk40 types)\n", type.c_str());
    std::string name = a.Get("name", runProgram ? "Run " + a.afterDashes[0] : act);
    JobRequest rq;
    rq.op = JobRequest::Op::AddAction;
    rq.id = job.Id();
    rq.actions.push_back({v, m, act, name, props});
    JobAnswer done = ctx.Perform(rq);
    printf("Added action %zu \"%s\" to \"%s\"\n", ctx.Fresh(done.id)->ActionCount(), name.c_str(),
           a.positional[0].c_str());
    return 0;
}

int CmdRun(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {{"wait", false}, {"timeout", true}});
    if (a.positional.size() != 1) Usage("run takes one job name");
    uint32_t timeout = a.Has("timeout") ? ParseCount(a.Get("timeout"), "--timeout", 86400 * 7) : 0;
    const uint32_t id = ctx.Find(a.positional[0]).Id();
    const std::string name = a.positional[0];
    const std::string storePath = ctx.App().Store()->Path();
    int64_t before = 0;
    {
        auto h = TRunHistory::Open(storePath);
        if (h) {
            auto runs = h->Runs(id, 1);
            if (!runs.empty()) before = runs[0].Id;
        }
    }
    if (!ctx.InstanceRunning())
        Refuse(
            ctx.NotRunning(", so nothing can run the job; start it with "
                           "\"zarkell40\" (or its service) and run the job again"));
    JobRequest rq;
    rq.op = JobRequest::Op::RunNow;
    rq.id = id;
    JobAnswer answer = ctx.Perform(rq);
    if (answer.text == kRunWaiting)
        printf("\"%s\" is already waiting to run\n", name.c_str());
    else if (answer.text == kRunQueuedPaused)
        printf("Queued \"%s\": the scheduler is paused; it runs when the scheduler continues\n",
               name.c_str());
    else
        printf("Started \"%s\"\n", name.c_str());
    if (!a.Has("wait")) return 0;
    fflush(stdout);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    auto nextLook = std::chrono::steady_clock::now();
    for (;;) {
        if (auto h = TRunHistory::Open(storePath)) {
            auto runs = h->Runs(id, 1);
            if (!runs.empty() && runs[0].Id > before) {
                const RunRecord& r = runs[0];
                printf("%s: %s\n", r.Result ? "Failed" : "Completed", r.Status.c_str());
                for (size_t i = 0; i < r.Actions.size(); ++i)
                    printf("  %zu. %s: %s\n", i + 1, r.Actions[i].Name.c_str(),
                           r.Actions[i].Status.c_str());
                return r.Result ? 1 : 0;
            }
        }
        if (timeout && std::chrono::steady_clock::now() > deadline) {
            cli::Answer st = cli::SchedulerStatus(ctx.Paths().runtimeDir);
            if (st.kind == cli::Answer::Ok && st.text == "paused")
                Refuse("the run of \"" + name + "\" has not started within " +
                       std::to_string(timeout) +
                       " s: the scheduler is paused (SIGUSR1); it starts when the scheduler "
                       "continues (SIGUSR2)");
            Refuse("the run of \"" + name + "\" did not end within " + std::to_string(timeout) +
                   " s; it goes on in the instance");
        }
        if (!ctx.InstanceRunning())
            Refuse("the instance ended before the run of \"" + name + "\" was recorded");
        if (std::chrono::steady_clock::now() >= nextLook) {
            // A job deleted while its run waited has no run to wait for.
            bool exists = false;
            for (const jobops::StoredJobName& j : jobops::StoredJobNames(ctx.App().jobs))
                exists |= j.Id == id;
            if (!exists) Refuse("\"" + name + "\" was deleted before its run was recorded");
            nextLook = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

int CmdLog(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {{"runs", true}});
    if (a.positional.size() != 1) Usage("log takes one job name");
    uint32_t n = a.Has("runs") ? ParseCount(a.Get("runs"), "--runs", 1000000) : 10;
    TJob& job = ctx.Find(a.positional[0]);
    auto h = TRunHistory::Open(ctx.App().Store()->Path());
    if (!h) Refuse("cannot read the run history of " + ctx.App().Store()->Path());
    std::vector<RunRecord> runs = h->Runs(job.Id(), n);
    if (runs.empty()) {
        printf("\"%s\" has no runs recorded yet\n", a.positional[0].c_str());
        return 0;
    }
    // Oldest first, as a log reads.
    for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
        const RunRecord& r = *it;
        printf("%s  %s  (%u s)  %s\n", When(r.Start).c_str(), r.Result ? "FAILED" : "ok",
               r.End >= r.Start ? r.End - r.Start : 0, r.Status.c_str());
        for (size_t i = 0; i < r.Actions.size(); ++i) {
            const ActionRunRecord& x = r.Actions[i];
            printf("  %zu. %s: %s%s\n", i + 1, x.Name.empty() ? x.ActionID.c_str() : x.Name.c_str(),
                   x.Status.c_str(), x.Result ? "  (failed)" : "");
            if (!x.Status2.empty()) printf("     %s\n", x.Status2.c_str());
            for (const std::string& line : x.Output) printf("     | %s\n", line.c_str());
        }
    }
    return 0;
}

// ---- the catalogue ----

struct TypeRow {
    std::string vendor, module, action, vendorName, desc;
    bool loaded;
};

std::vector<TypeRow> Catalogue(Context& ctx) {
    std::vector<TypeRow> out;
    const TRegKey& actions = ctx.ActionsKey();
    std::vector<std::string> vendors;
    actions.Store()->ListSubKeys(actions.Id(), &vendors);
    for (const std::string& v : vendors) {
        TRegKey vk(actions, v, false);
        std::vector<std::string> modules;
        vk.Store()->ListSubKeys(vk.Id(), &modules);
        for (const std::string& m : modules) {
            TRegKey mk(vk, m, false);
            std::vector<std::string> acts;
            mk.Store()->ListSubKeys(mk.Id(), &acts);
            for (const std::string& x : acts) {
                TRegKey ak(mk, x, false);
                out.push_back({v, m, x, vk.GetString("VENDOR"), ak.GetString("DESC"),
                               ak.GetDword("LOADED") == 1});
            }
        }
    }
    return out;
}

int CmdTypes(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {});
    if (a.positional.empty()) {
        std::vector<TypeRow> rows = Catalogue(ctx);
        if (rows.empty()) {
            printf("The catalogue is empty: no update has described any action type yet.\n");
            return 0;
        }
        printf("%-40s %-8s %s\n", "TYPE", "LOADED", "DESCRIPTION");
        for (const TypeRow& r : rows)
            printf("%-40s %-8s %s%s\n", (r.vendor + ":" + r.module + ":" + r.action).c_str(),
                   r.loaded ? "yes" : "no", r.desc.c_str(),
                   r.vendorName.empty() ? "" : (" (" + r.vendorName + ")").c_str());
        return 0;
    }
    const std::string& verb = a.positional[0];
    if (verb != "load" && verb != "unload") Usage("types takes load or unload, not \"" + verb + "\"");
    if (a.positional.size() < 2) Usage("types " + verb + " takes VENDOR:MODULE:ACTION");
    std::vector<std::string> args;
    for (size_t i = 1; i < a.positional.size(); ++i) {
        const std::string& t = a.positional[i];
        size_t c1 = t.find(':'), c2 = c1 == std::string::npos ? c1 : t.find(':', c1 + 1);
        if (c2 == std::string::npos) Usage("an action type is VENDOR:MODULE:ACTION, not \"" + t + "\"");
        TRegKey ak(ctx.ActionsKey(), t.substr(0, c1) + "\\" + t.substr(c1 + 1, c2 - c1 - 1) + "\\" +
                                         t.substr(c2 + 1), false);
        if (!ak.IsValid()) Refuse("the catalogue has no action type " + t + " (see zk40 types)");
        args.push_back(t);
    }
    const bool load = verb == "load";
    cli::Answer answer = cli::ActionTypes(ctx.Paths().runtimeDir, load, args);
    switch (answer.kind) {
        case cli::Answer::Ok:
            printf("%s\n", answer.text.c_str());
            return 0;
        case cli::Answer::Refused:
            Refuse(answer.text);
        case cli::Answer::NoAnswer:
            Refuse("the running instance did not answer (" + answer.text +
                   "); nothing was changed");
        case cli::Answer::NoInstance:
            break;
    }
    // Nothing runs: the catalogue is marked, and the next start loads the
    // types (downloading a module that is not on disk) or leaves them out.
    for (const std::string& t : args) {
        size_t c1 = t.find(':'), c2 = t.find(':', c1 + 1);
        TRegKey ak(ctx.ActionsKey(),
                   t.substr(0, c1) + "\\" + t.substr(c1 + 1, c2 - c1 - 1) + "\\" + t.substr(c2 + 1),
                   false);
        bool ok = ak.SetDword("LOADED", load ? 1 : 0) == kRegOk;
        if (load)
            ok = ok && ak.SetDword(kLoadPendingValue, 1) == kRegOk;
        else
            ak.DeleteValue(kLoadPendingValue);
        if (!ok) Refuse("the store refused to mark " + t);
    }
    printf("Zarkell'40 is not running: %s %zu action type(s); %s at its next start\n",
           load ? "marked" : "marked as not loaded", args.size(),
           load ? "they load (a module that is not on disk is downloaded first)"
                : "they are not loaded");
    ctx.NoteSystemService();
    return 0;
}

// ---- installing a module from a file ----

// The host a module installed with no instance running meets: it is loaded
// here only to prove that it loads, starts and is what it says, so nothing
// it asks of the host is needed.
intptr_t ToolSend(ZKHwnd, uint32_t, uintptr_t, intptr_t) { return 0; }
int ToolPost(ZKHwnd, uint32_t, uintptr_t, intptr_t) { return 0; }
const ZKHostFunctions kToolHost = {sizeof(ZKHostFunctions), ZK_HOST_VERSION, &ToolSend, &ToolPost,
                                   &HostAlloc, &HostFree};

class ToolModuleOwner : public IModuleHostOwner {
public:
    std::vector<TJob*> AllJobs() override { return {}; }
    bool AnyJobRunning() override { return false; }
    void SetUpdating(bool) override {}
    bool WaitServing(const std::function<bool()>& done, int) override { return done(); }
    void ShowStatus(const std::string&) override {}
    ZKHwnd Hwnd() override { return nullptr; }
};

// Unpacking reports its steps; only what went wrong reaches the user, in
// the refusal.
class QuietProgress : public IUpdateProgress {
public:
    void Status(const std::string&) override {}
    void Progress(int) override {}
    void TimeRemaining(int) override {}
};

int CmdModule(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {{"timeout", true}});
    if (a.positional.size() != 2 || a.positional[0] != "install")
        Usage("module takes: install FILE");
    const uint32_t timeout =
        a.Has("timeout") ? ParseCount(a.Get("timeout"), "--timeout", 86400 * 7) : 3600;
    const std::string& given = a.positional[1];
    char* full = realpath(given.c_str(), nullptr);
    if (!full) Refuse("cannot read " + given + ": " + strerror(errno));
    const std::string file = full;
    free(full);
    // The running program installs it itself: it lets the jobs that run the
    // old module finish before it lets the library go.
    cli::Answer answer = cli::InstallModule(ctx.Paths().runtimeDir, file,
                                            static_cast<int>(std::min<uint32_t>(timeout, 86400) * 1000));
    switch (answer.kind) {
        case cli::Answer::Ok:
            printf("%s\n", answer.text.c_str());
            return 0;
        case cli::Answer::Refused:
            Refuse(answer.text);
        case cli::Answer::NoAnswer:
            Refuse("the running instance did not answer (" + answer.text +
                   "); it may still be waiting for running jobs to end before it replaces the "
                   "module: see zk40 types");
        case cli::Answer::NoInstance:
            break;
    }
    TAppStore& app = ctx.App();
    const std::string actionPath = app.base.GetString("ActionPath", ctx.Paths().actionsDir);
    MakeDirs(actionPath);
    ToolModuleOwner owner;
    QuietProgress progress;
    ModuleInstallResult r;
    {
        TModuleHost host(owner, &kToolHost, ctx.ActionsKey(), actionPath);
        r = InstallModuleFromFile(file, host, ctx.ActionsKey(),
                                  app.base.GetString("HelpPath", ctx.Paths().helpDir), progress);
    }
    if (!r.ok) Refuse(r.text);
    printf("%s\nZarkell'40 is not running; it loads the module at its next start\n",
           r.text.c_str());
    ctx.NoteSystemService();
    return 0;
}

// ---- export and import ----

int CmdExport(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {{"force", false}});
    if (a.positional.empty()) Usage("export takes [NAME...] FILE");
    const std::string file = a.positional.back();
    std::vector<TJob*> jobs;
    if (a.positional.size() == 1)
        jobs = ctx.Jobs();
    else
        for (size_t i = 0; i + 1 < a.positional.size(); ++i) jobs.push_back(&ctx.Find(a.positional[i]));
    TAppStore& app = ctx.App();
    const std::string jobsPath = std::string(kProductKeyFullPath) + "\\jobs";
    std::string text, error;
    if (a.positional.size() == 1) {
        if (!FormatKeyTree(*app.Store(), app.jobs.Id(), jobsPath, &text, &error)) Refuse(error);
    } else {
        for (TJob* j : jobs) {
            std::string part;
            if (!FormatKeyTree(*app.Store(), j->Key().Id(),
                               jobsPath + "\\" + std::string(j->KeyName()), &part, &error))
                Refuse(error);
            // One header for the whole file.
            if (!text.empty() && part.compare(0, 8, "REGEDIT4") == 0) {
                size_t nl = part.find('\n');
                part = nl == std::string::npos ? "" : part.substr(nl + 1);
            }
            text += part;
        }
    }
    FILE* f = fopen(file.c_str(), a.Has("force") ? "w" : "wx");
    if (!f)
        Refuse("cannot write " + file + ": " + strerror(errno) +
               (errno == EEXIST ? " (use --force to replace it)" : ""));
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = fclose(f) == 0 && ok;
    if (!ok) Refuse("cannot write " + file + ": " + strerror(errno));
    printf("Exported %zu job(s) to %s\n", jobs.size(), file.c_str());
    return 0;
}

int CmdImport(Context& ctx, const std::vector<std::string>& words) {
    Args a = Parse(words, {{"replace", false}});
    if (a.positional.size() != 1) Usage("import takes one FILE");
    const bool replace = a.Has("replace");
    char* full = realpath(a.positional[0].c_str(), nullptr);
    if (!full) Refuse("cannot read " + a.positional[0] + ": " + strerror(errno));
    const std::string file = full;
    free(full);
    jobops::ImportSummary plan;
    if (jobops::Result r = jobops::PreviewImport(ctx.App().jobs, file, replace, &plan); !r)
        Refuse(r.Error);
    JobRequest rq;
    rq.op = JobRequest::Op::Import;
    rq.text = file;
    rq.flag = replace;
    JobAnswer done = ctx.Perform(rq);
    if (replace) printf("Removed %zu job(s)\n", plan.Removed.size());
    printf("Imported %s job(s) from %s\n", done.text.c_str(), a.positional[0].c_str());
    for (const jobops::ImportedJob& j : plan.Added) printf("  %s\n", j.Name.c_str());
    return 0;
}

// ---- help ----

const char kMainHelp[] =
    "Usage: zk40 [--system] COMMAND [ARGS...]\n"
    "Works with the jobs of Zarkell'40. Changes apply at once to a running\n"
    "Zarkell'40; with none running, the store is changed and the next start\n"
    "takes it up.\n"
    "\n"
    "Options:\n"
    "  --system  the jobs of the system service (zarkell40 /register as root):\n"
    "            its store in /var/lib/zarkell40 and its socket in\n"
    "            /run/zarkell40, not your own; run as the user the service\n"
    "            runs as (root: sudo zk40 --system list)\n"
    "\n"
    "Commands:\n";

const char kMainHelpTail[] =
    "\n"
    "Each command has --help. Names are matched exactly (quote names with\n"
    "blanks). Times are local. Exit status: 0 done, 1 refused, 2 wrong usage.\n"
    "\n"
    "Example:\n"
    "  zk40 add poll --kind every --interval 0:05 --window 08:00-18:00 \\\n"
    "      --weekdays mon-fri -- /usr/local/bin/poll --quiet\n"
    "  zk40 next poll --count 3\n"
    "  zk40 run poll --wait\n"
    "  zk40 log poll\n";

std::vector<Command> Commands() {
    return {
        {"list", "list the jobs with their schedule, next and last run",
         "Usage: zk40 list [--json]\n"
         "One line per job: name, schedule, state, next run, last run and result.\n"
         "  --json   the same as a JSON array (times as Unix seconds, null for none)\n",
         CmdList},
        {"show", "show one job with its actions and their last status",
         "Usage: zk40 show NAME\n"
         "The job's schedule, state, next and last run, retry settings, and each\n"
         "action with its settings, last status lines and children.\n",
         CmdShow},
        {"next", "the next run times of a job, or of a schedule before it exists",
         "Usage: zk40 next NAME [--count N] [--from TIME]\n"
         "       zk40 next --kind KIND [schedule options] [--count N] [--from TIME]\n"
         "The next N (default 5) run times, worked out by the scheduler's own\n"
         "rules. Nothing is written. --from 'YYYY-MM-DD HH:MM' counts from then.\n",
         CmdNext},
        {"add", "add a job that runs a program",
         "Usage: zk40 add NAME --kind KIND [schedule options] [--disabled]\n"
         "                [--action-name TEXT] -- PROGRAM [ARGS...]\n"
         "Makes a job with one \"Run Program\" action. More actions: zk40 action add.\n",
         CmdAdd},
        {"edit", "change a job's schedule, retries or name",
         "Usage: zk40 edit NAME [schedule options] [--no-window] [--name NEW]\n"
         "Options not given keep their value.\n",
         CmdEdit},
        {"rename", "rename a job", "Usage: zk40 rename NAME NEW-NAME\n", CmdRename},
        {"enable", "let a disabled job run by its schedule again",
         "Usage: zk40 enable NAME...\n",
         [](Context& c, const std::vector<std::string>& w) { return CmdEnable(c, w, true); }},
        {"disable", "keep a job from running by its schedule",
         "Usage: zk40 disable NAME...\n"
         "A disabled job keeps its schedule and can still be run by hand.\n",
         [](Context& c, const std::vector<std::string>& w) { return CmdEnable(c, w, false); }},
        {"delete", "delete a job (not while it runs)", "Usage: zk40 delete NAME\n", CmdDelete},
        {"action", "add an action to a job",
         "Usage: zk40 action add NAME [--name TEXT] [--type VENDOR:MODULE:ACTION]\n"
         "                        [-- PROGRAM [ARGS...]]\n"
         "Appends an action; the type defaults to Run Program, which takes the\n"
         "program after \"--\".\n",
         [](Context& c, const std::vector<std::string>& w) {
             if (w.empty() || w[0] != "add") Usage("action takes: add NAME ...");
             return CmdActionAdd(c, {w.begin() + 1, w.end()});
         }},
        {"run", "run a job now in the running Zarkell'40",
         "Usage: zk40 run NAME [--wait [--timeout SECONDS]]\n"
         "Starts the job in the running instance. A run asked for is kept until it\n"
         "starts, whatever else is done to the job meanwhile; a job whose run waits\n"
         "already gets no second one (\"already waiting to run\"). While the\n"
         "scheduler is paused (SIGUSR1) the run is queued and starts when it\n"
         "continues. With --wait, waits for the run to end, prints its result and\n"
         "exits 0 when it succeeded, 1 when not.\n",
         CmdRun},
        {"log", "the run history of a job",
         "Usage: zk40 log NAME [--runs N]\n"
         "The last N runs (default 10), oldest first, with each action's result,\n"
         "status lines and the output lines it kept.\n",
         CmdLog},
        {"types", "the action type catalogue; load or unload types",
         "Usage: zk40 types\n"
         "       zk40 types load VENDOR:MODULE:ACTION...\n"
         "       zk40 types unload VENDOR:MODULE:ACTION...\n"
         "Loads or unloads the types in the running Zarkell'40, as its Load/Unload\n"
         "Action Types dialog does: a type whose module is not on disk is queued\n"
         "for download and loads when that ends. With no instance running the\n"
         "types are marked in the catalogue and the next start applies them.\n",
         CmdTypes},
        {"module", "install an action module from a file",
         "Usage: zk40 module install FILE [--timeout SECONDS]\n"
         "Installs a module archive (.zkz) or a signed module file for the\n"
         "catalogue entry it names itself as, through the same steps as an update.\n"
         "A running Zarkell'40 installs it itself, letting jobs that run the old\n"
         "module finish first; zk40 waits up to SECONDS (default 3600) for that.\n"
         "An unsigned or damaged file is refused.\n",
         CmdModule},
        {"export", "write jobs to a .reg file",
         "Usage: zk40 export [NAME...] FILE [--force]\n"
         "All jobs, or the named ones, in the format of the window's Export Jobs.\n"
         "An existing FILE is kept unless --force is given.\n",
         CmdExport},
        {"import", "add the jobs of a .reg file",
         "Usage: zk40 import [--replace] FILE\n"
         "Adds the jobs of a file written by export (or the window). All or nothing:\n"
         "a file with anything but jobs, or a job whose name exists already, is\n"
         "refused and nothing changes. Jobs whose identifier is taken get a new one.\n"
         "A running Zarkell'40 takes the jobs in at once; run history is kept.\n"
         "  --replace   remove every job there is first (with its run history) and\n"
         "              keep only the file's jobs; refused while a job runs\n",
         CmdImport},
    };
}

// The word as the shell gives it back, for a command line to copy.
std::string ShellWord(const std::string& w) {
    if (!w.empty() && w.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_-./:=@%+,") == std::string::npos)
        return w;
    std::string out = "'";
    for (char c : w) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int Main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    // Options for every command come before it.
    bool system = false;
    while (!words.empty() && words[0] == "--system") {
        system = true;
        words.erase(words.begin());
    }
    std::string typed;
    for (const std::string& w : words) typed += (typed.empty() ? "" : " ") + ShellWord(w);
    std::vector<Command> commands = Commands();
    auto mainHelp = [&](FILE* to) {
        std::string text = kMainHelp;
        for (const Command& c : commands) {
            char line[160];
            snprintf(line, sizeof line, "  %-9s %s\n", c.name, c.summary);
            text += line;
        }
        text += kMainHelpTail;
        fputs(text.c_str(), to);
    };
    if (words.empty()) {
        mainHelp(stderr);
        return 2;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        if (words.size() > 1) {
            for (const Command& c : commands)
                if (words[1] == c.name) {
                    fputs(c.help, stdout);
                    return 0;
                }
        }
        mainHelp(stdout);
        return 0;
    }
    if (words[0] == "--version") {
        printf("zk40 (Zarkell'40 %s)\n", ZK40_VERSION_TEXT);
        return 0;
    }
    // Hidden helper for the shell completion: the job names, one a line.
    if (words[0] == "__names") {
        Context ctx(system);
        try {
            for (TJob* j : ctx.Jobs()) printf("%s\n", JobSettings::FromJob(*j).Name.c_str());
        } catch (const Refusal&) {
            return 1;  // no names to offer; a completion has nowhere to say why
        }
        return 0;
    }
    const Command* cmd = nullptr;
    for (const Command& c : commands)
        if (words[0] == c.name) cmd = &c;
    std::vector<std::string> rest(words.begin() + 1, words.end());
    try {
        if (!cmd) Usage("unknown command \"" + words[0] + "\"");
        if (WantsHelp(rest)) {
            fputs(cmd->help, stdout);
            bool schedule = strcmp(cmd->name, "add") == 0 || strcmp(cmd->name, "edit") == 0 ||
                            strcmp(cmd->name, "next") == 0;
            if (schedule) fputs(kScheduleHelp, stdout);
            return 0;
        }
        Context ctx(system, typed);
        return cmd->run(ctx, rest);
    } catch (const UsageError& e) {
        fprintf(stderr, "zk40: %s\nTry 'zk40 %s--help' for more information.\n", e.text.c_str(),
                cmd ? (std::string(cmd->name) + " ").c_str() : "");
        return 2;
    } catch (const Refusal& r) {
        fprintf(stderr, "zk40: %s\n", r.text.c_str());
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) { return Main(argc, argv); }
