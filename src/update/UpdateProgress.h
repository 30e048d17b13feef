#pragma once
// What the update work reports while it runs: status texts ("SysUpd:  ..."),
// a progress percentage, the time remaining of a download. Called on the
// update worker; implementations hand the reports to the main thread.
#include <string>
#include <vector>

namespace zk40 {

class IUpdateProgress {
public:
    virtual ~IUpdateProgress() = default;
    virtual void Status(const std::string& text) = 0;
    // 0 to 100.
    virtual void Progress(int percent) = 0;
    // Seconds left of the running download; -1 clears the display.
    virtual void TimeRemaining(int seconds) = 0;
};

// Keeps the last report of each kind; for tests and for callers that only
// want the outcome.
class TRecordingProgress : public IUpdateProgress {
public:
    void Status(const std::string& text) override {
        last = text;
        all.push_back(text);
    }
    void Progress(int percent) override { progress = percent; }
    void TimeRemaining(int seconds) override { remaining = seconds; }
    std::string last;
    std::vector<std::string> all;
    int progress = 0;
    int remaining = -1;
};

}  // namespace zk40
