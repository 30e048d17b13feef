#pragma once
// Keeps the run history of a job thread's runs: it stands between the run
// loop and the client, remembers the last status line posted for each
// action, and when the run is over writes one history record (see
// store/RunHistory.h) with each action's result, status lines and the
// output lines it kept as its children.
#include <map>
#include <string>

#include "scheduler/JobThread.h"

namespace zk40 {

class TRunRecorder final : public IJobHost {
public:
    explicit TRunRecorder(IJobHost& inner) : inner_(inner) {}
    bool RunAction(TAction& action) override { return inner_.RunAction(action); }
    void PostActionStatus(uint32_t handle, const std::string& text) override;
    StoreTime Now() const override { return inner_.Now(); }

    // Writes the record of the run that began at start. A history that
    // cannot be written costs the record, never the run.
    void Write(TJob& job, StoreTime start);

private:
    IJobHost& inner_;
    std::map<uint32_t, std::string> lastStatus_;
};

}  // namespace zk40
