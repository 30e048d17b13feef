#include "modules/HostServices.h"

#include <cstdlib>
#include <cstring>

#include "base/ClientView.h"
#include "jobs/ActionHandle.h"
#include "jobs/Job.h"
#include "modules/DateExpand.h"
#include "modules/ModuleHost.h"
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

THostServices::THostServices(TModuleHost& modules, IClientView& view, const IClock& clock,
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
    std::string jobName, actionName;
    {
        TSync::TLock lock(*job);
        jobName = job->Name.Get();
    }
    if (msg == ZKM_ACTION_PERCENT) {
        uint32_t percent = static_cast<uint32_t>(lparam);
        {
            TSync::TLock lock(*action);
            action->Percent = percent;
        }
        WriteRunRecord(*job, "Action-PER", nullptr, percent);
        return 1;
    }
    const char* p = reinterpret_cast<const char*>(lparam);
    std::string text = p ? p : "";
    {
        TSync::TLock lock(*action);
        if (msg == ZKM_ACTION_NAME) action->Name = text;
        if (msg == ZKM_ACTION_STATUS) action->Status = text;
        if (msg == ZKM_ACTION_STATUS2) action->Status2 = text;
        actionName = action->Name.Get();
    }
    if (msg == ZKM_ACTION_STATUS) {
        WriteRunRecord(*job, "Action-ST1", &text, 0);
        ZK40_TRACE(kTraceActionStatus, "Action Status=" + text);
        view_.ShowActionStatus(jobName, actionName, text);
    } else if (msg == ZKM_ACTION_STATUS2) {
        WriteRunRecord(*job, "Action-ST2", &text, 0);
        ZK40_TRACE(kTraceActionStatus2, "Action Status2=" + text);
        view_.ShowActionStatus(jobName, actionName, text);
    }
    return 1;
}

intptr_t THostServices::PropertyMessage(uint32_t msg, TAction* action, void* record) {
    auto* rq = static_cast<ZKPropertyRequest*>(record);
    if (!rq) return 0;
    TPropertyRequest req;
    req.Id = rq->id;
    req.Code = rq->code;
    req.Number = rq->number;
    req.Text.assign(rq->text, strnlen(rq->text, ZK_PROPERTY_TEXT_SIZE));
    TJob* job = action->Job();
    if (msg == ZKM_SET_PROPERTY) return job->SetProperty(action->Handle(), req) ? 1 : 0;
    if (!job->GetProperty(action->Handle(), req)) return 0;
    rq->number = req.Number;
    // The record has a fixed room; longer stored texts are cut to it.
    size_t n = std::min(req.Text.size(), static_cast<size_t>(ZK_PROPERTY_TEXT_SIZE - 1));
    memcpy(rq->text, req.Text.data(), n);
    rq->text[n] = '\0';
    return 1;
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
            return 1;
        }
        case ZKM_DELETE_CHILDREN:
            return job->DeleteChildren(h) ? 1 : 0;
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
            return 1;
        }
        default:
            return 0;
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
            if (!rq || !modules_.InstallOrLoad(rq->path, rq->vendor, rq->module, rq->action,
                                               &restart))
                return 0;
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
            std::string v, m, a;
            {
                TSync::TLock lock(*action);
                v = action->VendorID.Get();
                m = action->ModuleID.Get();
                a = action->ActionID.Get();
            }
            if (auto mod = modules_.FindModule(v, m))
                mod->TrayCallback(hwnd_, a, action->Handle(), static_cast<uint32_t>(lparam));
            return 0;
        }
        default:
            return 0;
    }
}

}  // namespace zk40
