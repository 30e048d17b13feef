#pragma once
// Keeps the run history of a job thread's runs: it stands between the run
// loop and the client, and when the run is over writes one history record (see
// store/RunHistory.h) with each action's result, status lines and the
// output lines it kept as its children.
#include <functional>
#include <string>

#include "scheduler/JobThread.h"

namespace zk40 {

class TRunRecorder final : public IJobHost {
public:
    explicit TRunRecorder(IJobHost& inner) : inner_(inner) {}
    bool RunAction(TAction& action) override { return inner_.RunAction(action); }
    void PostActionStatus(uint32_t handle, const std::string& text) override {
        inner_.PostActionStatus(handle, text);
    }
    void PostActionStarting(uint32_t handle) override { inner_.PostActionStarting(handle); }
    void PostActionEnded(uint32_t handle, const std::string& fallbackText) override {
        inner_.PostActionEnded(handle, fallbackText);
    }
    void PostToMainThread(std::function<void()> call) override {
        inner_.PostToMainThread(std::move(call));
    }
    StoreTime Now() const override { return inner_.Now(); }

    // Gathers the record of the run that began at start and hands it to the
    // main thread, which writes it once it has applied every status line
    // the run posted before: the record keeps the status each action ended
    // with, and the job's thread goes on without waiting for that. A
    // history that cannot be written costs the record, never the run.
    void Write(TJob& job, StoreTime start);

private:
    IJobHost& inner_;
};

}  // namespace zk40
