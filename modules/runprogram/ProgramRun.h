#pragma once
// Runs one program as a child process for a Run Program action: no shell,
// stdin from /dev/null, stdout and stderr captured together, its own
// process group so that a stop reaches everything it started.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zk40::runprogram {

struct ProgramRequest {
    std::string program;                 // a path, or a bare name looked up in PATH
    std::vector<std::string> arguments;  // without argv[0]
    std::string folder;                  // working folder; must exist
    uint32_t timeLimitSeconds = 0;       // 0 = no limit
    size_t keepLines = 0;                // output lines to keep
    // Told the program's process group once it runs (running = true) and
    // again once the run no longer watches it (false), from the run's
    // thread and outside any lock of ours.
    std::function<void(pid_t group, bool running)> onGroup;
};

enum class ProgramEnd {
    Exited,       // code = exit code
    Signalled,    // code = signal number
    TimedOut,     // the time limit ran out and the program was stopped
    Stopped,      // ZKStopAction asked for it
    StartFailed,  // message says why
    Lost,         // the exit status was collected elsewhere; message says so
};

struct ProgramResult {
    ProgramEnd end = ProgramEnd::StartFailed;
    int code = 0;
    std::string message;
    std::vector<std::string> lines;  // the last keepLines output lines
};

// One run of a program for one action handle. While the slot exists,
// StopRuns(handle) from any thread reaches it, before, during or after the
// child's life. Several slots may exist at once, on different threads.
class RunSlot {
public:
    explicit RunSlot(uint32_t handle);
    ~RunSlot();
    RunSlot(const RunSlot&) = delete;
    RunSlot& operator=(const RunSlot&) = delete;

    bool StopRequested() const;
    // Blocks until the program has ended, reading its output meanwhile.
    ProgramResult Run(const ProgramRequest& request);

    struct State {
        uint32_t handle = 0;
        pid_t group = 0;  // the child's process group while it may be signalled
        bool stopRequested = false;
        std::chrono::steady_clock::time_point stopAt;
    };

private:
    State state_;
};

// Sends SIGTERM to the process groups of the runs of `handle` (the run's
// own wait loop follows up with SIGKILL after the grace). True when a run of
// that handle was found. Never blocks on the child.
bool StopRuns(uint32_t handle);

// A thread-safe English text for an errno value.
std::string ErrorText(int err);

}  // namespace zk40::runprogram
