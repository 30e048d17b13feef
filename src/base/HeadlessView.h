#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "base/ProgramView.h"

namespace zk40 {

// Headless, the view is a log: each line should say something. Repeats of
// the same text from the same source are dropped (an action's text again
// after 5 quiet seconds is written: a later run said it), the connection state is
// written when it changes, and the update's step-by-step chatter (download
// and parse progress, archive steps, the queue) is written only when
// ZK40_VERBOSE=1 is set, and then progress at most once a second. Outcomes
// (completed, failed, refused, loaded, the next update) are always written.
class THeadlessView final : public IProgramView {
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
    void StartupError(const std::string& text) override;
    // An action's status reports, looked up by handle and written as
    // ShowActionStatus writes them.
    void ActionChanged(uint32_t handle, ActionField field) override;
    void ShowActionStatus(const std::string& jobName, const std::string& actionName,
                          const std::string& text);

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
