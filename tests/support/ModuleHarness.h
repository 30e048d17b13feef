#pragma once
// A stand-in host for testing an action module on its own: loads the real
// shared object with dlopen, hands it a host table, and answers its
// requests from memory. Properties, child items and status reports are kept
// in maps the test can read and preset. Date expansion knows only $Y, $m,
// $d and $$ of a date the test sets, and the error text is a fixed
// "Error text <code>"; the real host's answers are tested with the host.
//
// Blocks the module allocates with the host table's Alloc and the harness
// frees (and the other way round) are counted, so a test can assert that
// nothing leaked across the boundary.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zk40/module.h"

namespace zk40test {

// Host blocks allocated and not yet freed, over every harness.
long OutstandingHostBlocks();

class ModuleHarness {
public:
    explicit ModuleHarness(const std::string& path);
    ~ModuleHarness();
    ModuleHarness(const ModuleHarness&) = delete;
    ModuleHarness& operator=(const ModuleHarness&) = delete;

    bool Loaded() const { return lib_ != nullptr; }
    const std::string& LoadError() const { return error_; }
    bool HasExport(const char* name) const;

    // The entry points. A missing export gives 0 (and "" for texts).
    // size is the buffer size the module is given.
    std::string LoadString(uint32_t id, int size = 600);
    int Start(int16_t moduleId = 1);
    int EnableAction(const std::string& action);
    int GetActionData(const std::string& action, std::string* data);
    int RunAction(const std::string& action, ZKActionHandle handle);  // blocks
    int StopAction(const std::string& action, ZKActionHandle handle);

    // The store as the module's property requests see it.
    void SetNumber(ZKActionHandle h, int16_t id, uint32_t value, int code = ZK_PROP_ACTION_NUMBER);
    void SetText(ZKActionHandle h, int16_t id, const std::string& value,
                 int code = ZK_PROP_ACTION_TEXT);
    std::optional<uint32_t> Number(ZKActionHandle h, int16_t id,
                                   int code = ZK_PROP_ACTION_NUMBER) const;
    std::optional<std::string> Text(ZKActionHandle h, int16_t id,
                                    int code = ZK_PROP_ACTION_TEXT) const;

    std::map<uint32_t, std::string> Children(ZKActionHandle h) const;
    void SetChildren(ZKActionHandle h, const std::map<uint32_t, std::string>& children);
    std::map<std::pair<uint32_t, uint32_t>, std::string> SubItems(ZKActionHandle h) const;
    // Texts of ZKM_ACTION_STATUS (or, with msg, of ZKM_ACTION_STATUS2) in order.
    std::vector<std::string> Statuses(ZKActionHandle h, uint32_t msg = ZKM_ACTION_STATUS) const;
    std::vector<int> Percents(ZKActionHandle h) const;

    // The date that $Y, $m and $d expand to.
    void SetDate(int year, int month, int day);
    // From now on the handle names no live action: action-addressed requests
    // give 0, as when the action is deleted while it runs.
    void DropHandle(ZKActionHandle h);
    // Called at the start of every request, on the module's thread.
    void OnRequest(std::function<void(uint32_t msg, uintptr_t wparam)> hook);

private:
    using Key = std::pair<std::string, int16_t>;  // scope, property id
    static intptr_t SendThunk(ZKHwnd hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam);
    static int PostThunk(ZKHwnd hwnd, uint32_t msg, uintptr_t wparam, intptr_t lparam);
    intptr_t Answer(uint32_t msg, uintptr_t wparam, intptr_t lparam);
    intptr_t Property(bool set, ZKActionHandle h, ZKPropertyRequest* r);
    std::string Expand(const std::string& text) const;
    std::string Scope(ZKActionHandle h, int code) const;
    bool Live(ZKActionHandle h) const { return h != 0 && dropped_.count(h) == 0; }
    void* Symbol(const char* name) const;

    void* lib_ = nullptr;
    std::string error_;
    ZKHostFunctions table_{};

    mutable std::mutex mutex_;
    std::function<void(uint32_t, uintptr_t)> hook_;
    std::map<Key, uint32_t> numbers_;
    std::map<Key, std::string> texts_;
    std::map<ZKActionHandle, std::string> actionOf_;  // for type-wide properties
    std::map<ZKActionHandle, std::map<uint32_t, std::string>> children_;
    std::map<ZKActionHandle, std::map<std::pair<uint32_t, uint32_t>, std::string>> subItems_;
    std::map<ZKActionHandle, std::vector<std::pair<uint32_t, std::string>>> statuses_;
    std::map<ZKActionHandle, std::vector<int>> percents_;
    std::set<ZKActionHandle> dropped_;
    int year_ = 1999, month_ = 3, day_ = 5;
};

// ZKRunAction on a thread of its own, as a job thread calls it.
class AsyncRun {
public:
    AsyncRun(ModuleHarness& host, std::string action, ZKActionHandle handle);
    ~AsyncRun();  // waits for the run
    AsyncRun(const AsyncRun&) = delete;
    AsyncRun& operator=(const AsyncRun&) = delete;

    // True when the run has returned within timeoutMs.
    bool Wait(int timeoutMs);
    int Result() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    int result_ = -1;
    std::thread thread_;
};

}  // namespace zk40test
