#pragma once
// Action handles: the 32-bit names by which the tree, the messages and the
// action modules refer to an action. A handle names its action only while
// that action lives; handles are never reused during the life of the
// process, so a module that keeps a stale handle gets nothing rather than
// somebody else's action.
//
// Lifetime rule for callers: the job owns its actions and only the main
// thread destroys them (deleting an action or a job, closing the window).
// A pointer returned by ResolveActionHandle is therefore safe to use on the
// main thread until it next deletes an action or job; another thread may use
// it only while it is sure that the main thread cannot destroy the action
// meanwhile (the job thread's own job is never deleted while it runs).
#include <cstdint>

namespace zk40 {

class TAction;

// The first handle ever given out. 0 means "no action" and 1 is the job's
// "run beginning" marker, so handles stay well clear of both.
constexpr uint32_t kFirstActionHandle = 0x00010000;

// Gives the action a new handle and enters it in the table.
uint32_t RegisterActionHandle(TAction* action);
// Removes the handle; it never resolves again.
void UnregisterActionHandle(uint32_t handle);
// The live action of a handle, or nullptr for 0 and for any handle whose
// action is gone.
TAction* ResolveActionHandle(uint32_t handle);
// Number of live handles (for diagnostics and tests).
uint32_t LiveActionHandleCount();

// What of an action changed, for whoever shows it by its handle.
enum class ActionField { Name, Status, Status2, Percent, Image };

}  // namespace zk40
