#pragma once
// What the client core tells its view. Everything is keyed by identity (a
// job's id, an action's handle), never by display text: the view looks up
// what it shows through the snapshot queries (jobs/Snapshot.h) and keeps
// its own map from identity to whatever it draws. All calls arrive on the
// main thread.
#include <cstdint>
#include <string>

#include "jobs/ActionHandle.h"
#include "zk40/module.h"

namespace zk40 {

class IClientView {
public:
    virtual ~IClientView() = default;
    // Status bar 3 and the update queue node: start-up and update texts.
    virtual void ShowStatus(const std::string& text) = 0;
    // A failure at start that the user must see (a message box when there
    // is a window, standard error without).
    virtual void StartupError(const std::string& text) = 0;

    // Jobs: loaded or created, deleted, or their state, schedule or name
    // changed (node text, image, status line, next run).
    virtual void JobAdded(uint32_t jobId) { (void)jobId; }
    virtual void JobRemoved(uint32_t jobId) { (void)jobId; }
    virtual void JobChanged(uint32_t jobId) { (void)jobId; }
    // The job's list of actions changed (added, removed, reordered).
    virtual void ActionsChanged(uint32_t jobId) { (void)jobId; }
    // One field of one action changed.
    virtual void ActionChanged(uint32_t handle, ActionField field) {
        (void)handle;
        (void)field;
    }
    // The action's child items or their sub-items changed.
    virtual void ChildrenChanged(uint32_t handle) { (void)handle; }
    // A module was loaded, replaced or dropped: action images may differ.
    virtual void ModulesChanged() {}
    // Another process handed us a command line: the window comes forward.
    virtual void BringToFront() {}
    // One scheduler tick, for the running animation.
    virtual void Tick() {}

    // The update queue branch: an entry added at its end, the first removed.
    virtual void QueueBranchAdd(const std::string& text) { (void)text; }
    virtual void QueueBranchRemoveFirst() {}
    // Update progress (status bar 3's gauge) and the download's time left.
    virtual void UpdateProgress(int percent) { (void)percent; }
    virtual void TimeRemaining(int seconds) { (void)seconds; }
    // The connection pane: "On-Line", "Off-Line" or "Unknown".
    virtual void ConnectionState(const std::string& text) { (void)text; }
    // A module's own tray icon: add, modify (adding it again when the
    // desktop lost it) or delete. False when there is no tray to show it.
    virtual bool TrayIcon(uint32_t op, const ZKTrayIcon& icon) {
        (void)op;
        (void)icon;
        return false;
    }
};

}  // namespace zk40
