#pragma once
// The host's answers to the messages that action modules and job threads
// send or post to the client: status reports, property values, child items,
// tray icons, date expansion, error texts and install requests. Handle runs
// on the main thread; OnJobThread answers on a job thread what needs nothing
// of the main thread.
#include <cstdint>
#include <string>

#include "jobs/ActionHandle.h"
#include "zk40/module.h"

namespace zk40 {

class TAction;
class TJob;
class TModuleHost;
class IClock;
class TRegKey;

// What the host services tell the window: the part of the client's view
// they need, so that this layer does not depend on the window's interface.
// Called on the main thread.
class IHostServicesView {
public:
    virtual ~IHostServicesView() = default;
    // One field of one action changed (a module's status report).
    virtual void ActionChanged(uint32_t handle, ActionField field) = 0;
    // The action's child items or their sub-items changed.
    virtual void ChildrenChanged(uint32_t handle) = 0;
    // A module was loaded, replaced or dropped: action images may differ.
    virtual void ModulesChanged() = 0;
    // A module's own tray icon: add, modify or delete. False when there is
    // no tray to show it.
    virtual bool TrayIcon(uint32_t op, const ZKTrayIcon& icon) = 0;
};

// The record behind an install request (0x1441) from the update worker.
struct TInstallRequest {
    std::string path, vendor, module, action;
};

// The host's allocator, shared with every module.
void* HostAlloc(size_t bytes);
void HostFree(void* block);
// A copy of text made with HostAlloc.
char* HostStrdup(const std::string& text);

class THostServices {
public:
    THostServices(TModuleHost& modules, IHostServicesView& view, const IClock& clock,
                  const TRegKey& crashKey, ZKHwnd hwnd);
    intptr_t Handle(uint32_t msg, uintptr_t wparam, intptr_t lparam);

    // What a message sent from the thread that runs `job` takes.
    enum class JobThreadAnswer {
        Answered,  // *result holds the answer
        Post,      // queue it for the main thread and answer 1 at once
        Send,      // the main thread has to answer it
    };
    // The messages of the job's own actions that touch only the job, its
    // store keys and the clock are answered here, under the job's and the
    // action's locks, so that a thousand jobs started together do not each
    // wait in line for the main thread before their work begins. Status
    // reports only change what is shown, and go on one-way: they stay in
    // order with everything else the run posts.
    JobThreadAnswer OnJobThread(TJob& job, uint32_t msg, uintptr_t wparam, intptr_t lparam,
                                intptr_t* result);

private:
    intptr_t StatusMessage(uint32_t msg, TAction* action, intptr_t lparam);
    intptr_t PropertyMessage(uint32_t msg, TAction* action, void* record);
    intptr_t ChildMessage(uint32_t msg, TAction* action, intptr_t lparam);
    void WriteRunRecord(TJob& job, const char* name, const std::string* text, uint32_t number);

    TModuleHost& modules_;
    IHostServicesView& view_;
    const IClock& clock_;
    const TRegKey& crashKey_;
    ZKHwnd hwnd_;
};

}  // namespace zk40
