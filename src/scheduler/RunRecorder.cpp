#include "scheduler/RunRecorder.h"

#include "jobs/ActionHandle.h"
#include "store/AppStore.h"
#include "store/RunHistory.h"

namespace zk40 {

void TRunRecorder::Write(TJob& job, StoreTime start) {
    RunRecord run;
    run.JobId = job.Id();
    run.Start = start;
    run.End = inner_.Now();
    std::vector<uint32_t> handles;
    TStore* store;
    {
        TSync::TLock lock(job);
        run.JobName = job.Name.Get();
        run.Result = job.LastStat.Get() & 0xFFFF ? 1 : 0;
        store = job.Key().Store();
        for (size_t p = 0; TAction* a = job.ActionAt(p); ++p) {
            ActionRunRecord r;
            {
                TSync::TLock al(*a);
                r.Name = a->Name.Get();
                r.VendorID = a->VendorID.Get();
                r.ModuleID = a->ModuleID.Get();
                r.ActionID = a->ActionID.Get();
                r.Result = a->LastStat.Get();
                r.Status2 = a->Status2.Get();
            }
            handles.push_back(a->Handle());
            run.Actions.push_back(std::move(r));
        }
    }
    if (!store) return;
    // The kept output: the children the module left under the action.
    for (size_t i = 0; i < handles.size(); ++i) {
        uint32_t n = job.ChildCount(handles[i]);
        for (uint32_t c = 1; c <= n; ++c)
            run.Actions[i].Output.push_back(job.ChildText(handles[i], c));
    }
    // Through the store's own connection: a write of this process, which the
    // watch for other processes' changes of the store must not see as one.
    inner_.PostToMainThread([run = std::move(run), handles = std::move(handles), store]() mutable {
        for (size_t i = 0; i < handles.size(); ++i) {
            // Every status line of the run has been applied by now: this is
            // what the module reported last, or the text the run's end set.
            if (TAction* a = ResolveActionHandle(handles[i])) {
                TSync::TLock lock(*a);
                run.Actions[i].Status = a->Status.Get();
            }
        }
        run.Status = "Completed";
        for (size_t i = 0; i < run.Actions.size(); ++i) {
            if (!run.Actions[i].Result) continue;
            const std::string& name = run.Actions[i].Name;
            run.Status = "Failed at action " + std::to_string(i + 1) +
                         (name.empty() ? "" : " (" + name + ")") + ": " + run.Actions[i].Status;
            break;
        }
        if (run.Actions.empty()) run.Status = "Completed: the job has no actions";
        auto history = TRunHistory::Open(*store);
        if (!history) return;
        TRegKey base(store, std::string(kProductKeyPath) + "\\base", false);
        history->Add(run, HistoryRunsSetting(base));
    });
}

}  // namespace zk40
