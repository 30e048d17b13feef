#include "jobs/JobRequest.h"

#include <cstdlib>

#include "jobs/Job.h"
#include "store/AppStore.h"
#include "support/FieldCodec.h"

namespace zk40 {

namespace {

struct OpWord {
    JobRequest::Op op;
    const char* word;
};
constexpr OpWord kOps[] = {
    {JobRequest::Op::New, "new"},           {JobRequest::Op::Edit, "edit"},
    {JobRequest::Op::RunNow, "run"},        {JobRequest::Op::Rename, "rename"},
    {JobRequest::Op::SetEnabled, "enable"}, {JobRequest::Op::Delete, "delete"},
    {JobRequest::Op::AddAction, "action"},  {JobRequest::Op::Import, "import"}};

bool ParseNumber(const std::string& text, int base, uint32_t* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, base);
    if (*end || v > 0xFFFFFFFFul) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

std::vector<std::string> JobRequest::ToFields() const {
    std::vector<std::string> f;
    for (const OpWord& w : kOps)
        if (w.op == op) f.push_back(std::string("op=") + w.word);
    if (id) f.push_back("id=" + TJob::KeyNameOf(id));
    for (const std::string& o : input.ToFields()) f.push_back("o:" + o);
    if (!text.empty()) f.push_back("text=" + text);
    if (flag) f.push_back("flag=1");
    for (const jobops::NewAction& a : actions) {
        f.push_back("a=" + a.Vendor + ":" + a.Module + ":" + a.Action);
        f.push_back("an=" + a.Name);
        for (const jobops::ActionProperty& p : a.Properties)
            f.push_back("ap=" + std::to_string(p.Id) +
                        (p.IsText ? ":t:" + p.Text : ":n:" + std::to_string(p.Number)));
    }
    return f;
}

bool JobRequest::FromFields(const std::vector<std::string>& fields, std::string* error) {
    *this = JobRequest();
    bool haveOp = false;
    std::vector<std::string> options;
    auto bad = [error](const std::string& what) {
        *error = "a malformed job request: " + what;
        return false;
    };
    for (const std::string& field : fields) {
        size_t eq = field.find('=');
        if (eq == std::string::npos) return bad(field.substr(0, 40));
        const std::string key = field.substr(0, eq), value = field.substr(eq + 1);
        if (key == "op") {
            for (const OpWord& w : kOps)
                if (value == w.word) {
                    op = w.op;
                    haveOp = true;
                }
            if (!haveOp) return bad("unknown operation \"" + value.substr(0, 40) + "\"");
        } else if (key == "id") {
            if (!ParseNumber(value, 16, &id)) return bad("job " + value.substr(0, 40));
        } else if (key.rfind("o:", 0) == 0) {
            options.push_back(field.substr(2));
        } else if (key == "text") {
            text = value;
        } else if (key == "flag") {
            flag = value == "1";
        } else if (key == "a") {
            size_t c1 = value.find(':'),
                   c2 = c1 == std::string::npos ? c1 : value.find(':', c1 + 1);
            if (c2 == std::string::npos) return bad("action type " + value.substr(0, 40));
            jobops::NewAction a;
            a.Vendor = value.substr(0, c1);
            a.Module = value.substr(c1 + 1, c2 - c1 - 1);
            a.Action = value.substr(c2 + 1);
            actions.push_back(std::move(a));
        } else if (key == "an" && !actions.empty()) {
            actions.back().Name = value;
        } else if (key == "ap" && !actions.empty()) {
            size_t c1 = value.find(':');
            uint32_t pid = 0;
            if (c1 == std::string::npos || !ParseNumber(value.substr(0, c1), 10, &pid) ||
                pid > 32767)
                return bad("action value " + value.substr(0, 40));
            jobops::ActionProperty p;
            p.Id = static_cast<int16_t>(pid);
            std::string rest = value.substr(c1 + 1);
            if (rest.rfind("t:", 0) == 0) {
                p.Text = rest.substr(2);
            } else if (rest.rfind("n:", 0) == 0 && ParseNumber(rest.substr(2), 10, &p.Number)) {
                p.IsText = false;
            } else {
                return bad("action value " + value.substr(0, 40));
            }
            actions.back().Properties.push_back(std::move(p));
        } else {
            return bad(key.substr(0, 40));
        }
    }
    if (!haveOp) return bad("no operation");
    if (!input.FromFields(options)) return bad("an unknown option");
    return true;
}

std::string FormatJobAnswer(const JobAnswer& a) {
    if (!a.ok) return a.text;
    return JoinFields({TJob::KeyNameOf(a.id), a.text});
}

JobAnswer ParseJobAnswer(bool ok, const std::string& text) {
    if (!ok) return JobAnswer::Refused(text);
    JobAnswer a;
    std::vector<std::string> f;
    if (!SplitFields(text, &f) || f.size() != 2 || !ParseNumber(f[0], 16, &a.id))
        return JobAnswer::Refused(
            "the running instance gave an answer this program does not "
            "know: " +
            text.substr(0, 80));
    a.text = f[1];
    return a;
}

JobAnswer PerformInStore(TAppStore& app, const TRegKey& actionsKey, const JobRequest& rq,
                         const IClock& clock) {
    TStore* store = app.Store();
    if (!store) return JobAnswer::Refused("The store is not open.");
    if (rq.op == JobRequest::Op::RunNow)
        return JobAnswer::Refused("Zarkell'40 is not running, so nothing can run the job.");
    if (rq.op == JobRequest::Op::Import) {
        jobops::ImportSummary summary;
        jobops::Result r = jobops::Import(app.jobs, rq.text, rq.flag, {}, &summary);
        if (!r) return JobAnswer::Refused(r.Error);
        return {true, 0, std::to_string(summary.Added.size())};
    }
    const StoreTime now = clock.Now();
    JobAnswer answer;
    // Everything below reads the jobs inside the transaction that writes:
    // another command's change made a moment before is seen, not undone.
    bool committed = store->Transaction([&] {
        std::vector<jobops::StoredJobName> stored = jobops::StoredJobNames(app.jobs);
        std::vector<std::string> others;
        bool found = false;
        for (const jobops::StoredJobName& j : stored) {
            if (j.Id == rq.id)
                found = true;
            else
                others.push_back(j.Name);
        }
        jobops::Result r;
        if (rq.op == JobRequest::Op::New) {
            JobSettings s;
            if (std::string why = ApplyScheduleInput(rq.input, s, now); !why.empty()) {
                answer = JobAnswer::Refused(why);
                return false;
            }
            std::unique_ptr<TJob> job;
            r = jobops::NewJobWithActions(app.jobs, actionsKey, s, rq.actions, others, clock, &job);
            if (r) answer.id = job->Id();
        } else if (!found) {
            r = jobops::Result::Refused("There is no such job.");
        } else {
            TJob job(app.jobs, actionsKey, rq.id, clock);
            answer.id = rq.id;
            {
                // How many retries a failed job used is the program's to
                // know; a retry still ahead of its last run is one that
                // waits, and a change must leave it where it is.
                TSync::TLock lock(job);
                if (static_cast<int16_t>(job.LastStat.Get() & 0xFFFF) != 0 &&
                    job.RetryCount.Get() > 0 && job.NextRun.Get() != kNeverTime &&
                    job.NextRun.Get() > now)
                    job.RetriesDone = 1;
            }
            switch (rq.op) {
                case JobRequest::Op::Edit: {
                    JobSettings s = JobSettings::FromJob(job);
                    if (std::string why = ApplyScheduleInput(rq.input, s, now); !why.empty())
                        r = jobops::Result::Refused(why);
                    else
                        r = jobops::ApplySettings(job, s, others, now);
                    break;
                }
                case JobRequest::Op::Rename:
                    r = jobops::Rename(job, rq.text, others);
                    break;
                case JobRequest::Op::SetEnabled:
                    r = jobops::SetEnabled(job, rq.flag, now);
                    break;
                case JobRequest::Op::Delete:
                    r = jobops::DeleteJob(job);
                    break;
                case JobRequest::Op::AddAction:
                    if (rq.actions.size() != 1)
                        r = jobops::Result::Refused("Name one action to add.");
                    else
                        r = jobops::AddAction(job, rq.actions[0]);
                    break;
                default:
                    break;
            }
        }
        if (!r) {
            answer = JobAnswer::Refused(r.Error);
            return false;
        }
        return true;
    });
    if (!committed && answer.ok)
        return JobAnswer::Refused("The store refused the change; nothing was changed.");
    return answer;
}

}  // namespace zk40
