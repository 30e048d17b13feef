// The client as the modules' host: the host function table, the messages a
// module sends from a job's thread, and running or stopping an action.
#include "base/Client.h"
#include "jobs/ActionHandle.h"
#include "jobs/ClientView.h"
#include "store/Trace.h"

namespace zk40 {

namespace {

intptr_t HostSend(ZKHwnd hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    if (!hwnd) return 0;
    return static_cast<TZarkellClient*>(hwnd)->HostSend(msg, wparam, lparam);
}

int HostPost(ZKHwnd hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    if (!hwnd) return 0;
    static_cast<TZarkellClient*>(hwnd)->Pump().Post(msg, wparam, lparam);
    return 1;
}

const ZKHostFunctions kHostFunctions = {
    sizeof(ZKHostFunctions), ZK_HOST_VERSION, &HostSend, &HostPost, &HostAlloc, &HostFree};

}  // namespace

const ZKHostFunctions* TZarkellClient::HostFunctions() { return &kHostFunctions; }

// ---- running actions (job threads) ----

intptr_t TZarkellClient::HostSend(uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    TJob* job = pump_->OnMainThread() ? nullptr : JobRunOnThisThread();
    if (job) {
        intptr_t result = 0;
        switch (services_->OnJobThread(*job, msg, wparam, lparam, &result)) {
            case THostServices::JobThreadAnswer::Answered:
                return result;
            case THostServices::JobThreadAnswer::Post:
                pump_->Post(msg, wparam, lparam);
                return 1;
            case THostServices::JobThreadAnswer::Send:
                break;
        }
    }
    return pump_->Send(msg, wparam, lparam);
}

bool TZarkellClient::RunAction(TAction& action) {
    ActionIdentity id = action.Identity();
    const uint32_t handle = action.Handle();
    std::shared_ptr<TActionTypeModule> module = modules_->FindModule(id.vendor, id.module);
    bool ok = module && module->RunAction(Hwnd(), id.action, handle);
    if (!module) {
        std::string why = modules_->WhyNotLoaded(id.vendor, id.module);
        PostActionStatus(handle, "Action Status: Action module " + id.vendor + ":" + id.module +
                                     " is not loaded" + (why.empty() ? "" : ": " + why));
    }
    TSync::TLock lock(action);
    action.LastStat = ok ? 0 : 1;
    return ok;
}

bool TZarkellClient::StopAction(TAction& action) {
    ActionIdentity id = action.Identity();
    auto module = modules_->FindModule(id.vendor, id.module);
    return module && module->StopAction(Hwnd(), id.action, action.Handle());
}

void TZarkellClient::PostActionStatus(uint32_t handle, const std::string& text) {
    pump_->Post(ZKM_ACTION_STATUS, handle, reinterpret_cast<intptr_t>(HostStrdup(text)));
}

void TZarkellClient::PostActionStarting(uint32_t handle) {
    pump_->PostCall([handle] {
        if (TAction* a = ResolveActionHandle(handle)) {
            TSync::TLock lock(*a);
            a->StatusReported = 0;
        }
    });
}

void TZarkellClient::PostActionEnded(uint32_t handle, const std::string& fallbackText) {
    pump_->PostCall([this, handle, fallbackText] {
        TAction* a = ResolveActionHandle(handle);
        if (!a) return;
        {
            TSync::TLock lock(*a);
            if (!a->StatusReported) a->Status = fallbackText;
        }
        view_.ActionChanged(handle, ActionField::Status);
    });
}

void TZarkellClient::PostToMainThread(std::function<void()> call) {
    pump_->PostCall(std::move(call));
}

bool TZarkellClient::AnyJobRunning() {
    for (auto& t : threads_)
        if (t->CurrentStatus() == TThread::Running) return true;
    return false;
}

bool TZarkellClient::WaitServing(const std::function<bool()>& done, int timeoutMs) {
    return pump_->WaitServing(done, timeoutMs);
}

}  // namespace zk40
