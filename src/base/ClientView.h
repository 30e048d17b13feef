#pragma once
// What the client core tells its view. The windowed program shows it in the
// main window; headless, every status text becomes one readable line on
// standard error (which systemd puts into the journal).
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
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

// Headless, the view is a log: each line should say something. Repeats of
// the same text from the same source are dropped (an action's text again
// after 5 quiet seconds is written: a later run said it), the connection state is
// written when it changes, and the update's step-by-step chatter (download
// and parse progress, archive steps, the queue) is written only when
// ZK40_VERBOSE=1 is set, and then progress at most once a second. Outcomes
// (completed, failed, refused, loaded, the next update) are always written.
class THeadlessView final : public IClientView {
public:
    using Clock = std::chrono::steady_clock;
    // verbose: -1 reads ZK40_VERBOSE. out receives each finished line
    // (default: a time stamp and the text on standard error).
    explicit THeadlessView(int verbose = -1,
                           std::function<void(const std::string&)> out = nullptr,
                           std::function<Clock::time_point()> now = nullptr);
    void ShowStatus(const std::string& text) override;
    void QueueBranchAdd(const std::string& text) override;
    void ConnectionState(const std::string& text) override;
    void ShowActionStatus(const std::string& jobName, const std::string& actionName,
                          const std::string& text) override;

    // Whether a status text is the update's step-by-step chatter, and
    // whether it is one of its progress reports.
    static bool IsUpdateChatter(const std::string& text);
    static bool IsProgress(const std::string& text);

private:
    // Writes text unless source said the same last (for repeatsAfterQuiet
    // sources: unless it said so within the last 5 s); progress is limited
    // to once a second per source.
    void Emit(const std::string& source, const std::string& text, const std::string& line,
              bool repeatsAfterQuiet = false);

    bool verbose_;
    std::function<void(const std::string&)> out_;
    std::function<Clock::time_point()> now_;
    std::mutex mutex_;
    std::map<std::string, std::string> lastText_;
    std::map<std::string, Clock::time_point> lastProgress_;
    std::map<std::string, Clock::time_point> lastSeen_;
};

}  // namespace zk40
