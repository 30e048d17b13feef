// Every operation on a job through each face of the program: the window
// (offscreen, its commands on the real client), zk40 against the real
// running program, and zk40 with no program running. Whichever face asked,
// a job that is idle, running, failed and waiting for its retry, or
// disabled must end the same way, and a program must never take its own
// change for another program's (and read the job again).
#include <gtest/gtest.h>
#include <signal.h>

#include <QTreeWidget>
#include <functional>
#include <map>
#include <optional>

#include "Catalogue.h"
#include "Process.h"
#include "TestEnv.h"
#include "base/Client.h"
#include "jobs/Job.h"
#include "jobs/JobDisplay.h"
#include "store/AppStore.h"
#include "store/RunHistory.h"
#include "ui/Commands.h"
#include "ui/MainWindow.h"
#include "ui/Prompt.h"

using namespace zk40;
using namespace zk40test;

namespace {

enum class Face { Window, Zk40Running, Zk40Store };
enum class Before { Idle, Running, RetryWaiting, Disabled };
enum class Op { Edit, Rename, Enable, RunNow, Delete, AddAction };

const char* Name(Face f) {
    return f == Face::Window ? "window" : f == Face::Zk40Running ? "zk40 + program" : "zk40 alone";
}
const char* Name(Before b) {
    return b == Before::Idle           ? "idle"
           : b == Before::Running      ? "running"
           : b == Before::RetryWaiting ? "waiting for a retry"
                                       : "disabled";
}
const char* Name(Op o) {
    switch (o) {
        case Op::Edit:
            return "edit";
        case Op::Rename:
            return "rename";
        case Op::Enable:
            return "enable/disable";
        case Op::RunNow:
            return "run now";
        case Op::Delete:
            return "delete";
        case Op::AddAction:
            return "add action";
    }
    return "?";
}

const Op kOps[] = {Op::Edit, Op::Rename, Op::Enable, Op::RunNow, Op::Delete, Op::AddAction};

// How a job came out of an operation, as the store has it.
struct Outcome {
    bool accepted = false;
    bool exists = false;
    std::string name;
    uint32_t retryCount = 0;
    bool disabled = false;
    uint32_t actions = 0;
    bool nextRunKept = false;  // a waiting retry stayed where it was
    bool ran = false;          // a run was recorded after the operation

    bool operator==(const Outcome&) const = default;
    std::string Text() const {
        return std::string(accepted ? "accepted" : "refused") + (exists ? "" : ", gone") +
               ", name " + name + ", retries " + std::to_string(retryCount) +
               (disabled ? ", disabled" : "") + ", actions " + std::to_string(actions) +
               (nextRunKept ? ", next run kept" : "") + (ran ? ", ran" : "");
    }
};

std::string JobName(Op op) { return std::string("job ") + Name(op); }
std::string NewName(Op op) { return JobName(op) + " renamed"; }

// One face on one fresh store, with one job per operation in the same state.
class FaceRun {
public:
    FaceRun(Face face, Before before) : face_(face), before_(before) {
        paths_.MakeFolders();
        app_ = std::make_unique<TAppStore>(paths_);
        actions_ = TRegKey(app_->product, "actions");
        app_->base.SetDword("ConnType", 0);
        app_->base.SetDword("ShippedModules", 1);
        InstallModule(actions_, paths_.actionsDir, ZK40_TESTMODULE_PATH, "ZKA00001.dll", "ZKTEST",
                      "TESTMOD", {"TESTACT", "TESTACT2"});
        // Running: sleeps until stopped. Waiting for a retry: fails, with
        // one retry an hour later.
        const int mode = before == Before::Running ? 2 : before == Before::RetryWaiting ? 1 : 0;
        for (Op op : kOps) {
            uint32_t id = MakeTestJob(app_->jobs, actions_, JobName(op), {{.mode = mode}});
            TRegKey k(app_->jobs, TJob::KeyNameOf(id), false);
            if (before == Before::RetryWaiting) {
                k.SetDword("RetryCount", 1);
                k.SetDword("RetryDelay", 3600);
            }
            if (before == Before::Disabled) k.SetDword("Disabled", 1);
            ids_[op] = id;
        }
    }
    ~FaceRun() {
        if (client_) client_->CloseWindow();
        if (window_) window_->Detach();
        client_.reset();
        window_.reset();
        if (program_.pid() > 0) {
            program_.Signal(SIGTERM);
            program_.Wait(30000);
        }
    }

    // Brings every job into the state; false when it could not.
    bool Prepare() {
        if (face_ == Face::Window) {
            window_ = std::make_unique<ui::TMainWindow>();
            client_ = std::make_unique<TZarkellClient>(*app_, paths_, clock_, *window_, nullptr);
            client_->SetTickAlignment(false);
            window_->Attach(*client_, *app_);
            client_->SetupWindow();
            window_->Started();
            ui::PromptAnswers::Arm();
            client_->EvTimer();  // loads the modules
        } else if (face_ == Face::Zk40Running) {
            program_ = ChildProcess({ZK40_BIN}, dir_ / "program.txt",
                                    {{"ZK40_NO_START_DELAY", "1"}, {"ZK40_HEADLESS", "1"}});
            if (!WaitFor(
                    [&] {
                        return program_.Output().find("System Initialization:  Completed") !=
                               std::string::npos;
                    },
                    60000))
                return false;
        }
        if (before_ == Before::Running || before_ == Before::RetryWaiting) {
            if (face_ == Face::Zk40Store) {
                // As the program leaves a failed job whose retry waits.
                for (auto& [op, id] : ids_) {
                    TRegKey k(app_->jobs, TJob::KeyNameOf(id), false);
                    StoreTime now = CurrentStoreTime();
                    k.SetDword("LastRun", now - 10);
                    k.SetDword("LastStat", 1);
                    k.SetDword("State", 5);
                    k.SetDword("NextRun", now + 3590);
                }
            } else {
                for (auto& [op, id] : ids_)
                    if (!StartRun(id)) return false;
                for (auto& [op, id] : ids_) {
                    bool ok = Wait([&] {
                        TRegKey k = Key(id);
                        return before_ == Before::Running
                                   ? k.GetDword("State") == 4
                                   : k.GetDword("State") == 5 && k.GetDword("LastStat") == 1 &&
                                         k.GetDword("NextRun") > k.GetDword("LastRun") + 3000;
                    });
                    if (!ok) return false;
                }
            }
        }
        for (auto& [op, id] : ids_) {
            nextRunBefore_[op] = Key(id).GetDword("NextRun");
            runsBefore_[op] = NewestRun(id);
        }
        return true;
    }

    Outcome Do(Op op) {
        const uint32_t id = ids_[op];
        bool accepted = face_ == Face::Window ? DoInWindow(op, id) : DoWithZk40(op, id);
        Outcome o;
        o.accepted = accepted;
        TRegKey k = Key(id);
        o.exists = k.IsValid();
        if (o.exists) {
            o.name = k.GetString("Name");
            o.retryCount = k.GetDword("RetryCount");
            o.disabled = k.GetDword("Disabled") != 0;
            o.actions = k.GetDword("NumActions");
            // A run by hand sets its own next run, and the run's end another.
            o.nextRunKept = op != Op::RunNow && k.GetDword("NextRun") == nextRunBefore_[op];
        }
        if (op == Op::RunNow && accepted)
            o.ran = Wait([&] { return NewestRun(id) > runsBefore_[op]; });
        if (face_ == Face::Window && o.exists) {
            // The program holds what the store holds.
            TJob* job = client_->FindJob(id);
            EXPECT_NE(job, nullptr);
            if (job) {
                TSync::TLock lock(*job);
                EXPECT_EQ(job->Name.Get(), o.name);
                EXPECT_EQ(job->RetryCount.Get(), o.retryCount);
                EXPECT_EQ(!job->Enabled(), o.disabled);
                EXPECT_EQ(job->ActionCount(), o.actions);
                EXPECT_EQ(job->NextRun.Get(), k.GetDword("NextRun"));
            }
        }
        return o;
    }

    // What the program said it took in from another program.
    std::string Reloads() const {
        if (face_ != Face::Zk40Running) return {};
        std::string out = program_.Output(), found;
        for (size_t at = 0; (at = out.find("Taken in from the store", at)) != std::string::npos;
             ++at)
            found += out.substr(at, out.find('\n', at) - at) + "\n";
        return found;
    }

private:
    TRegKey Key(uint32_t id) { return TRegKey(app_->jobs, TJob::KeyNameOf(id), false); }
    int64_t NewestRun(uint32_t id) {
        auto h = TRunHistory::Open(app_->Store()->Path());
        if (!h) return 0;
        auto runs = h->Runs(id, 1);
        return runs.empty() ? 0 : runs[0].Id;
    }
    bool Wait(const std::function<bool()>& done) {
        if (client_) {
            // The window's program serves its queue and runs its passes.
            for (int i = 0; i < 400 && !done(); ++i) {
                client_->Pump().WaitServing([] { return false; }, 20);
                for (int t = 0; t < 5; ++t) client_->EvTimer();
            }
            return done();
        }
        return WaitFor(done, 30000);
    }
    bool StartRun(uint32_t id) {
        if (client_) return client_->RunNow(id).Ok();
        std::string out;
        return Zk40({"run", Key(id).GetString("Name")}, &out) == 0;
    }
    int Zk40(const std::vector<std::string>& args, std::string* out) {
        std::vector<std::string> argv{ZK40_CLI_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, out, 60000);
    }
    bool DoWithZk40(Op op, uint32_t id) {
        const std::string name = JobName(op);
        std::vector<std::string> args;
        switch (op) {
            case Op::Edit:
                args = {"edit", name, "--retry", "5"};
                break;
            case Op::Rename:
                args = {"rename", name, NewName(op)};
                break;
            case Op::Enable:
                args = {before_ == Before::Disabled ? "enable" : "disable", name};
                break;
            case Op::RunNow:
                args = {"run", name};
                break;
            case Op::Delete:
                args = {"delete", name};
                break;
            case Op::AddAction:
                args = {"action", "add", name, "--type", "ZKTEST:TESTMOD:TESTACT2"};
                break;
        }
        (void)id;
        std::string out;
        int rc = Zk40(args, &out);
        EXPECT_TRUE(rc == 0 || rc == 1) << out;
        return rc == 0;
    }
    bool DoInWindow(Op op, uint32_t id) {
        window_->Tree()->setCurrentItem(window_->JobItem(id));
        ui::PromptAnswers::Clear();
        auto refused = [] {
            for (const auto& r : ui::PromptAnswers::Shown())
                if (r.kind == ui::PromptRecord::Message) return true;
            return false;
        };
        switch (op) {
            case Op::Edit:
                window_->Dialogs().jobProperties = [](QWidget*, TZarkellClient&,
                                                      const JobSettings& current) {
                    JobSettings s = current;
                    s.RetryCount = 5;
                    return std::optional<JobSettings>(s);
                };
                window_->Run(ui::kCmdProperties);
                return !refused();
            case Op::Rename:
                window_->JobItem(id)->setText(0, QString::fromStdString(NewName(op)));
                return !refused();
            case Op::Enable:
                // The window has no command of its own for this.
                return client_->SetJobEnabled(id, before_ == Before::Disabled).Ok();
            case Op::RunNow:
                window_->Run(ui::kCmdRunNow);
                return !refused();
            case Op::Delete:
                window_->Run(ui::kCmdDelete);
                return !refused();
            case Op::AddAction:
                return client_->AddAction(id, {"ZKTEST", "TESTMOD", "TESTACT2", "second", {}}).Ok();
        }
        return false;
    }

    Face face_;
    Before before_;
    TempDir dir_;
    ScopedXdg xdg_{dir_};
    AppPaths paths_ = AppPaths::FromEnvironment();
    std::unique_ptr<TAppStore> app_;
    TRegKey actions_;
    const SystemClock& clock_ = SystemClock::Instance();
    std::unique_ptr<ui::TMainWindow> window_;
    std::unique_ptr<TZarkellClient> client_;
    ChildProcess program_;
    std::map<Op, uint32_t> ids_;
    std::map<Op, StoreTime> nextRunBefore_;
    std::map<Op, int64_t> runsBefore_;
};

TEST(JobFaces, EveryOperationEndsTheSameWhicheverFaceAskedForIt) {
    // What must hold whatever the face: {state, op} -> accepted, and for a
    // waiting retry whether it stays where it was.
    struct Expect {
        bool accepted;
        bool retryKept;
    };
    auto expect = [](Before b, Op op) -> Expect {
        if (b == Before::Running)
            return {op == Op::Edit || op == Op::Rename || op == Op::Enable, false};
        if (b == Before::RetryWaiting)
            return {true, op == Op::Edit || op == Op::Rename || op == Op::AddAction};
        return {true, false};
    };
    for (Before before : {Before::Idle, Before::Running, Before::RetryWaiting, Before::Disabled}) {
        std::map<Op, std::pair<Face, Outcome>> first;
        for (Face face : {Face::Window, Face::Zk40Running, Face::Zk40Store}) {
            // Nothing runs without a program.
            if (face == Face::Zk40Store && before == Before::Running) continue;
            SCOPED_TRACE(std::string(Name(face)) + ", job " + Name(before));
            FaceRun run(face, before);
            ASSERT_TRUE(run.Prepare());
            for (Op op : kOps) {
                // Nothing can run a job with no program.
                if (face == Face::Zk40Store && op == Op::RunNow) continue;
                SCOPED_TRACE(Name(op));
                Outcome o = run.Do(op);
                const Expect e = expect(before, op);
                EXPECT_EQ(o.accepted, e.accepted) << o.Text();
                if (e.retryKept) {
                    EXPECT_TRUE(o.nextRunKept) << "a change never moves a waiting retry";
                }
                if (op == Op::RunNow && o.accepted) {
                    EXPECT_TRUE(o.ran) << o.Text();
                }
                auto seen = first.find(op);
                if (seen == first.end())
                    first[op] = {face, o};
                else
                    EXPECT_EQ(o, seen->second.second)
                        << o.Text() << "\nbut through the " << Name(seen->second.first) << ": "
                        << seen->second.second.Text();
            }
            EXPECT_EQ(run.Reloads(), "") << "the program took its own change for another's";
        }
    }
}

}  // namespace
