#include "modules/HostServices.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "jobs/ActionHandle.h"
#include "jobs/Job.h"
#include "modules/DateExpand.h"
#include "modules/ModuleHost.h"
#include "scheduler/CrashLog.h"
#include "scheduler/ProcessGroups.h"
#include "store/Trace.h"
#include "support/ErrorText.h"

namespace zk40 {

void* HostAlloc(size_t bytes) { return malloc(bytes ? bytes : 1); }
void HostFree(void* block) { free(block); }

char* HostStrdup(const std::string& text) {
    char* p = static_cast<char*>(HostAlloc(text.size() + 1));
    memcpy(p, text.c_str(), text.size() + 1);
    return p;
}

THostServices::THostServices(TModuleHost& modules, IHostServicesView& view, const IClock& clock,
                             const TRegKey& crashKey, ZKHwnd hwnd)
    : modules_(modules), view_(view), clock_(clock), crashKey_(crashKey), hwnd_(hwnd) {}

void THostServices::WriteRunRecord(TJob& job, const char* name, const std::string* text,
                                   uint32_t number) {
    std::string record;
    {
        TSync::TLock lock(job);
        record = job.RunRecordName;
    }
    if (record.empty()) return;
    // Only an existing record: the run may have ended since the report.
    TRegKey r(crashKey_, "jobs\\" + record, false);
    if (!r.IsValid()) return;
    if (text)
        r.SetString(name, *text);
    else
        r.SetDword(name, number);
}

intptr_t THostServices::StatusMessage(uint32_t msg, TAction* action, intptr_t lparam) {
    TJob* job = action->Job();
    if (msg == ZKM_ACTION_PERCENT) {
        uint32_t percent = static_cast<uint32_t>(lparam);
        {
            TSync::TLock lock(*action);
            action->Percent = percent;
        }
        WriteRunRecord(*job, "Action-PER", nullptr, percent);
        view_.ActionChanged(action->Handle(), ActionField::Percent);
        return 1;
    }
    const char* p = reinterpret_cast<const char*>(lparam);
    std::string text = p ? p : "";
    {
        TSync::TLock lock(*action);
        if (msg == ZKM_ACTION_NAME) action->Name = text;
        if (msg == ZKM_ACTION_STATUS) {
            action->Status = text;
            action->StatusReported = 1;
        }
        if (msg == ZKM_ACTION_STATUS2) action->Status2 = text;
    }
    const uint32_t handle = action->Handle();
    if (msg == ZKM_ACTION_STATUS) {
        WriteRunRecord(*job, "Action-ST1", &text, 0);
        ZK40_TRACE(kTraceActionStatus, "Action Status=" + text);
        view_.ActionChanged(handle, ActionField::Status);
    } else if (msg == ZKM_ACTION_STATUS2) {
        WriteRunRecord(*job, "Action-ST2", &text, 0);
        ZK40_TRACE(kTraceActionStatus2, "Action Status2=" + text);
        view_.ActionChanged(handle, ActionField::Status2);
    } else {
        view_.ActionChanged(handle, ActionField::Name);
    }
    // The image follows the last status, which the run may have changed.
    view_.ActionChanged(handle, ActionField::Image);
    return 1;
}

namespace {
intptr_t PropertyRequest(uint32_t msg, TJob& job, uint32_t handle, void* record) {
    auto* rq = static_cast<ZKPropertyRequest*>(record);
    if (!rq) return 0;
    TPropertyRequest req;
    req.Id = rq->id;
    req.Code = rq->code;
    req.Number = rq->number;
    req.Text.assign(rq->text, strnlen(rq->text, ZK_PROPERTY_TEXT_SIZE));
    if (msg == ZKM_SET_PROPERTY) return job.SetProperty(handle, req) ? 1 : 0;
    if (!job.GetProperty(handle, req)) return 0;
    rq->number = req.Number;
    // The record has a fixed room; longer stored texts are cut to it.
    size_t n = std::min(req.Text.size(), static_cast<size_t>(ZK_PROPERTY_TEXT_SIZE - 1));
    memcpy(rq->text, req.Text.data(), n);
    rq->text[n] = '\0';
    return 1;
}
}  // namespace

intptr_t THostServices::PropertyMessage(uint32_t msg, TAction* action, void* record) {
    return PropertyRequest(msg, *action->Job(), action->Handle(), record);
}

intptr_t THostServices::ChildMessage(uint32_t msg, TAction* action, intptr_t lparam) {
    TJob* job = action->Job();
    uint32_t h = action->Handle();
    switch (msg) {
        case ZKM_CHILD_COUNT: {
            auto* count = reinterpret_cast<uint32_t*>(lparam);
            if (count) *count = job->ChildCount(h);
            return 1;
        }
        case ZKM_GET_CHILD: {
            auto** cell = reinterpret_cast<void**>(lparam);
            if (!cell || !*cell) return 0;
            uint32_t n = *static_cast<uint32_t*>(*cell);
            *cell = HostStrdup(job->ChildText(h, n));
            return 1;
        }
        case ZKM_SET_CHILD: {
            auto* block = reinterpret_cast<ZKChildText*>(lparam);
            if (!block) return 0;
            job->SetChildText(h, block->child, block->text);
            HostFree(block);
            view_.ChildrenChanged(h);
            return 1;
        }
        case ZKM_DELETE_CHILDREN: {
            bool ok = job->DeleteChildren(h);
            view_.ChildrenChanged(h);
            return ok ? 1 : 0;
        }
        case ZKM_SUBITEM_COUNT: {
            auto* block = reinterpret_cast<ZKSubItemCount*>(lparam);
            if (!block) return 0;
            block->count = job->GrandchildCount(h, block->child);
            return 1;
        }
        case ZKM_GET_SUBITEM: {
            auto** cell = reinterpret_cast<void**>(lparam);
            if (!cell || !*cell) return 0;
            auto* ref = static_cast<ZKSubItemRef*>(*cell);
            *cell = HostStrdup(job->GrandchildText(h, ref->child, ref->subItem));
            return 1;
        }
        case ZKM_SET_SUBITEM: {
            auto* block = reinterpret_cast<ZKSubItemText*>(lparam);
            if (!block) return 0;
            job->SetGrandchildText(h, block->child, block->subItem, block->text);
            HostFree(block);
            view_.ChildrenChanged(h);
            return 1;
        }
        default:
            return 0;
    }
}

namespace {
// Records a process group an action started in its job's run record, or
// forgets it again.
intptr_t ProcessGroupMessage(const TRegKey& crashKey, TJob* job, intptr_t lparam) {
    if (!job || lparam == 0 || lparam == INTPTR_MIN) return 0;
    const intptr_t pgid = lparam > 0 ? lparam : -lparam;
    std::string record;
    {
        TSync::TLock lock(*job);
        record = job->RunRecordName;
    }
    if (record.empty()) return 0;
    TRegKey r(crashKey, "jobs\\" + record, false);
    if (!r.IsValid()) return 0;
    const std::string name = kRunRecordGroupPrefix + std::to_string(pgid);
    if (lparam < 0) return r.DeleteValue(name) == kRegOk ? 1 : 0;
    std::string identity = ProcessIdentity(static_cast<pid_t>(pgid));
    if (identity.empty()) return 0;
    return r.SetString(name, identity) == kRegOk ? 1 : 0;
}
}  // namespace

THostServices::JobThreadAnswer THostServices::OnJobThread(TJob& job, uint32_t msg,
                                                          uintptr_t wparam, intptr_t lparam,
                                                          intptr_t* result) {
    const auto handle = static_cast<uint32_t>(wparam);
    switch (msg) {
        case ZKM_EXPAND_DATE:
        case ZKM_ERROR_TEXT:
            // Neither touches anything of the main thread's.
            *result = Handle(msg, wparam, lparam);
            return JobThreadAnswer::Answered;
        case ZKM_GET_PROPERTY:
        case ZKM_SET_PROPERTY:
            // The job looks the handle up under its own lock; another job's
            // action, or one that is gone, is the main thread's to answer.
            if (!job.HasAction(handle)) return JobThreadAnswer::Send;
            *result = PropertyRequest(msg, job, handle, reinterpret_cast<void*>(lparam));
            return JobThreadAnswer::Answered;
        case ZKM_PROCESS_GROUP:
            if (!job.HasAction(handle)) return JobThreadAnswer::Send;
            *result = ProcessGroupMessage(crashKey_, &job, lparam);
            return JobThreadAnswer::Answered;
        case ZKM_ACTION_NAME:
        case ZKM_ACTION_STATUS:
        case ZKM_ACTION_STATUS2:
        case ZKM_ACTION_PERCENT:
            return job.HasAction(handle) ? JobThreadAnswer::Post : JobThreadAnswer::Send;
        default:
            return JobThreadAnswer::Send;
    }
}

intptr_t THostServices::Handle(uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    switch (msg) {
        case ZKM_ERROR_TEXT:
            return CopyErrorText(static_cast<int32_t>(wparam), reinterpret_cast<void*>(lparam));
        case ZKM_EXPAND_DATE:
            ExpandDateCodes(reinterpret_cast<char*>(lparam), static_cast<size_t>(wparam),
                            [this] { return clock_.Now(); });
            return 1;
        case ZKM_INSTALL: {
            // 1 installed and loaded; 2 installed, but the old code keeps
            // running until a restart; 0 failed.
            auto* rq = reinterpret_cast<TInstallRequest*>(lparam);
            bool restart = false;
            bool ok = rq && modules_.InstallOrLoad(rq->path, rq->vendor, rq->module, rq->action,
                                                   &restart);
            view_.ModulesChanged();
            if (!ok) return 0;
            return restart ? 2 : 1;
        }
        default:
            break;
    }
    TAction* action = ResolveActionHandle(static_cast<uint32_t>(wparam));
    switch (msg) {
        case ZKM_ACTION_NAME:
        case ZKM_ACTION_STATUS:
        case ZKM_ACTION_STATUS2: {
            // A posted text is ours to free, whatever became of its action.
            intptr_t r = action ? StatusMessage(msg, action, lparam) : 0;
            HostFree(reinterpret_cast<void*>(lparam));
            return r;
        }
        case ZKM_ACTION_PERCENT:
            return action ? StatusMessage(msg, action, lparam) : 0;
        case ZKM_PROCESS_GROUP:
            return ProcessGroupMessage(crashKey_, action ? action->Job() : nullptr, lparam);
        case ZKM_SET_PROPERTY:
        case ZKM_GET_PROPERTY:
            return action ? PropertyMessage(msg, action, reinterpret_cast<void*>(lparam)) : 0;
        case ZKM_CHILD_COUNT:
        case ZKM_GET_CHILD:
        case ZKM_SET_CHILD:
        case ZKM_DELETE_CHILDREN:
        case ZKM_SUBITEM_COUNT:
        case ZKM_GET_SUBITEM:
        case ZKM_SET_SUBITEM:
            return action ? ChildMessage(msg, action, lparam) : 0;
        case ZKM_TRAY_ADD:
        case ZKM_TRAY_MODIFY:
        case ZKM_TRAY_DELETE: {
            auto* icon = reinterpret_cast<ZKTrayIcon*>(lparam);
            if (!icon) return 0;
            icon->size = sizeof(ZKTrayIcon);
            icon->owner = hwnd_;
            icon->id = static_cast<uint32_t>(wparam);
            icon->callbackMessage = ZKM_TRAY_CALLBACK;
            return view_.TrayIcon(msg, *icon) ? 1 : 0;
        }
        case ZKM_TRAY_CALLBACK: {
            if (!action) return 0;
            ActionIdentity id = action->Identity();
            if (auto mod = modules_.FindModule(id.vendor, id.module))
                mod->TrayCallback(hwnd_, id.action, action->Handle(),
                                  static_cast<uint32_t>(lparam));
            return 0;
        }
        default:
            return 0;
    }
}

}  // namespace zk40
