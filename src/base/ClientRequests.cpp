// Requests from other processes: the instance socket's lines and the
// command-line options handed over.
#include "base/Client.h"
#include "base/CommandLine.h"
#include "base/InstanceRequest.h"
#include "jobs/ClientView.h"
#include "store/AppStore.h"
#include "update/UpdateCoordinator.h"

namespace zk40 {

// ---- command line ----

std::string TZarkellClient::AnswerRequest(const std::string& line) {
    InstanceRequest rq = ParseInstanceRequest(line);
    switch (rq.verb) {
        case InstanceRequest::Verb::Args: {
            // Kept as the last command line handed over; each one is carried
            // out from the request itself, never read back from here.
            app_.base.SetString("CommandLine", JoinArguments(rq.args));
            view_.BringToFront();
            RequestResult r = ProcessArguments(rq.args);
            return MakeAnswer(r.ok, r.text);
        }
        case InstanceRequest::Verb::Reload: {
            StoreSyncCounts c = CheckStoreChanged();
            return MakeAnswer(true, std::to_string(c.added) + " added, " +
                                        std::to_string(c.changed) + " changed, " +
                                        std::to_string(c.removed) + " deleted");
        }
        case InstanceRequest::Verb::Types: {
            TUpdateCoordinator::Answer a = updates_->LoadTypes(rq.load, rq.args);
            return MakeAnswer(a.ok, a.text);
        }
        case InstanceRequest::Verb::Install: {
            TUpdateCoordinator::Answer a =
                updates_->InstallFile(rq.args.empty() ? std::string() : rq.args[0]);
            return MakeAnswer(a.ok, a.text);
        }
        case InstanceRequest::Verb::Job: {
            JobRequest job;
            std::string error;
            if (!job.FromFields(rq.args, &error)) return MakeAnswer(false, error);
            JobAnswer a = Perform(job);
            return MakeAnswer(a.ok, FormatJobAnswer(a));
        }
        case InstanceRequest::Verb::Status:
            return MakeAnswer(true, Paused()             ? "paused"
                                    : !schedulerEnabled_ ? "disabled"
                                                         : "running");
        case InstanceRequest::Verb::Wake:
            view_.BringToFront();
            return MakeAnswer(true, {});
        case InstanceRequest::Verb::Bad:
            break;
    }
    return MakeAnswer(false, rq.error);
}

void TZarkellClient::ProcessCommandLine(const std::string& args) {
    CommandLineOutcome o = zk40::ProcessCommandLine(args, app_, ExecutablePath());
    if (o.runJob) StartRunJobFromStore();
}

TZarkellClient::RequestResult TZarkellClient::ProcessArguments(
    const std::vector<std::string>& args) {
    CommandLineOutcome o = zk40::ProcessCommandLine(args, app_, ExecutablePath());
    if (o.runJob) return StartRunJobFromStore();
    return {};
}

TZarkellClient::RequestResult TZarkellClient::StartRunJobFromStore() {
    std::string name = app_.base.GetString("RunJob");
    if (name.empty()) return {};
    // A job made a moment ago by another process must be found, and one
    // whose run has just ended (its record written, as `zk40 run --wait`
    // sees) is not "already running" only because no pass has reaped it.
    CheckStoreChanged();
    ReapThreads();
    TJob* job = FindJobByName(name);
    if (job && deletedWhileBusy_.count(job->Id())) job = nullptr;
    if (!job) {
        // Left in the store, so what was asked for stays visible.
        std::string text = "There is no job named \"" + name + "\"";
        ShowStatus("Run Job:  " + text);
        return {false, text};
    }
    app_.base.DeleteValue("RunJob");
    RunOutcome outcome = RunOutcome::Started;
    jobops::Result r = RunNow(job->Id(), &outcome);
    if (!r) {
        ShowStatus("Run Job:  " + r.Error);
        return {false, r.Error};
    }
    std::string text = outcome == RunOutcome::Waiting ? "\"" + name + "\" is already waiting to run"
                       : outcome == RunOutcome::QueuedPaused
                           ? "Queued \"" + name + "\": the scheduler is paused"
                           : "Starting \"" + name + "\"";
    ShowStatus("Run Job:  " + text);
    return {true, text};
}

}  // namespace zk40
