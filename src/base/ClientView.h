#pragma once
// What the client core tells its view. The windowed program shows it in the
// main window; headless, every status text becomes one readable line on
// standard error (which systemd puts into the journal).
#include <cstdint>
#include <string>

#include "zk40/module.h"

namespace zk40 {

class IClientView {
public:
    virtual ~IClientView() = default;
    // Status bar 3 and the update queue node: start-up and update texts.
    virtual void ShowStatus(const std::string& text) = 0;
    // A status text of one action of a job.
    virtual void ShowActionStatus(const std::string& jobName, const std::string& actionName,
                                  const std::string& text) = 0;
    // The update queue branch: an entry added at its end, the first removed.
    virtual void QueueBranchAdd(const std::string& text) { (void)text; }
    virtual void QueueBranchRemoveFirst() {}
    // Update progress (status bar 3's gauge) and the download's time left.
    virtual void UpdateProgress(int percent) { (void)percent; }
    virtual void TimeRemaining(int seconds) { (void)seconds; }
    // The connection pane: "On-Line", "Off-Line" or "Unknown".
    virtual void ConnectionState(const std::string& text) { (void)text; }
    // The job's node needs redrawing (state, next run).
    virtual void JobChanged(uint32_t jobId) { (void)jobId; }
    // Another process handed us a command line: the window comes forward.
    virtual void BringToFront() {}
    // The job is gone (deleted in the store by another process).
    virtual void JobRemoved(uint32_t jobId) { (void)jobId; }
    // A module's own tray icon: add, modify (adding it again when the
    // desktop lost it) or delete. False when there is no tray to show it.
    virtual bool TrayIcon(uint32_t op, const ZKTrayIcon& icon) {
        (void)op;
        (void)icon;
        return false;
    }
};

class THeadlessView final : public IClientView {
public:
    void ShowStatus(const std::string& text) override;
    void QueueBranchAdd(const std::string& text) override;
    void ConnectionState(const std::string& text) override;
    void ShowActionStatus(const std::string& jobName, const std::string& actionName,
                          const std::string& text) override;
};

}  // namespace zk40
