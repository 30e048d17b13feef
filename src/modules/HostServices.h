#pragma once
// The host's answers to the messages that action modules and job threads
// send or post to the client: status reports, property values, child items,
// tray icons, date expansion, error texts and install requests. Handle runs
// on the main thread; OnJobThread answers on a job thread what needs nothing
// of the main thread.
#include <cstdint>
#include <string>

#include "zk40/module.h"

namespace zk40 {

class TAction;
class TJob;
class TModuleHost;
class IClientView;
class IClock;
class TRegKey;

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
    THostServices(TModuleHost& modules, IClientView& view, const IClock& clock,
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
    IClientView& view_;
    const IClock& clock_;
    const TRegKey& crashKey_;
    ZKHwnd hwnd_;
};

}  // namespace zk40
