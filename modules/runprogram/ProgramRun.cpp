#include "ProgramRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "CommandText.h"
#include "RunProgramSettings.h"

extern char** environ;

namespace zk40::runprogram {

namespace {

using Clock = std::chrono::steady_clock;

// Short enough that a stop or a time limit is acted on promptly, long enough
// that an idle wait costs nothing worth measuring.
constexpr int kPollMs = 50;
// Output still buffered when the program has ended is read up to this much,
// so that a background process that keeps writing cannot hold the run.
constexpr size_t kDrainLimit = 4u << 20;
// Read per wake-up while the program runs, so that a program that writes
// without pause still lets the loop look at stops and the time limit.
constexpr size_t kReadSlice = 1u << 20;

std::mutex g_runsMutex;
std::vector<RunSlot::State*> g_runs;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Kills and collects the child if the run leaves early (an exception), so
// that no process outlives its action unnoticed.
class ChildGuard {
public:
    ChildGuard(pid_t pid, RunSlot::State& state) : pid_(pid), state_(state) {}
    ~ChildGuard() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        {
            std::lock_guard lock(g_runsMutex);
            state_.group = 0;
        }
        int status;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    void Release() { pid_ = 0; }

private:
    pid_t pid_;
    RunSlot::State& state_;
};

int Spawn(const ProgramRequest& request, int outFd, pid_t* pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (int err = posix_spawn_file_actions_init(&actions)) return err;
    if (int err = posix_spawnattr_init(&attr)) {
        posix_spawn_file_actions_destroy(&actions);
        return err;
    }
    // The host may block signals for its own signal handling and ignore
    // others; the program starts with a clean mask and default handlers, or
    // it could not even be stopped with SIGTERM.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(request.program.c_str()));
    for (const auto& a : request.arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int err = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!err) err = posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (!err) err = posix_spawn_file_actions_adddup2(&actions, outFd, 2);
    // Whatever else the host has open (its store, sockets, other runs'
    // pipes) stays out of the program.
    if (!err) err = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!err) err = posix_spawn_file_actions_addchdir_np(&actions, request.folder.c_str());
    if (!err) err = posix_spawnattr_setpgroup(&attr, 0);
    if (!err) err = posix_spawnattr_setsigmask(&attr, &none);
    if (!err) err = posix_spawnattr_setsigdefault(&attr, &all);
    if (!err)
        err = posix_spawnattr_setflags(
            &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (!err)
        err = posix_spawnp(pid, request.program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return err;
}

// Reads what is available. False once the pipe is at its end (or broken).
bool ReadAvailable(int fd, OutputTail& tail, size_t limit) {
    char buf[4096];
    size_t total = 0;
    while (total < limit) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            tail.Feed(buf, static_cast<size_t>(n));
            total += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && errno == EAGAIN;
    }
    return true;
}

}  // namespace

std::string ErrorText(int err) {
    const char* text = strerrordesc_np(err);
    return text ? text : "error " + std::to_string(err);
}

RunSlot::RunSlot(uint32_t handle) {
    state_.handle = handle;
    std::lock_guard lock(g_runsMutex);
    g_runs.push_back(&state_);
}

RunSlot::~RunSlot() {
    std::lock_guard lock(g_runsMutex);
    g_runs.erase(std::remove(g_runs.begin(), g_runs.end(), &state_), g_runs.end());
}

bool RunSlot::StopRequested() const {
    std::lock_guard lock(g_runsMutex);
    return state_.stopRequested;
}

bool StopRuns(uint32_t handle) {
    std::lock_guard lock(g_runsMutex);
    bool found = false;
    for (RunSlot::State* run : g_runs) {
        if (run->handle != handle) continue;
        found = true;
        if (run->stopRequested) continue;
        run->stopRequested = true;
        run->stopAt = Clock::now();
        // group is cleared under this lock before the child is collected, so
        // the id still names our child's group here.
        if (run->group > 0) kill(-run->group, SIGTERM);
    }
    return found;
}

ProgramResult RunSlot::Run(const ProgramRequest& request) {
    ProgramResult result;
    if (StopRequested()) {
        result.end = ProgramEnd::Stopped;
        return result;
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.message =
            "cannot create a pipe for the output of " + request.program + ": " + ErrorText(errno);
        return result;
    }
    Fd readEnd(fds[0]), writeEnd(fds[1]);
    // Only our end is non-blocking; the program's stdout stays an ordinary
    // blocking pipe.
    fcntl(readEnd.Get(), F_SETFL, fcntl(readEnd.Get(), F_GETFL) | O_NONBLOCK);

    pid_t pid = 0;
    int err = Spawn(request, writeEnd.Get(), &pid);
    writeEnd.Reset();
    if (err != 0) {
        result.message = "cannot start " + request.program + ": " + ErrorText(err);
        return result;
    }
    ChildGuard guard(pid, state_);
    {
        std::lock_guard lock(g_runsMutex);
        state_.group = pid;
        // A stop that came while the program was being started.
        if (state_.stopRequested) {
            kill(-pid, SIGTERM);
            state_.stopAt = Clock::now();
        }
    }
    // Readable once the program has ended, so that the run ends when it does
    // rather than at the next look; without it (an old kernel) the loop looks
    // every kPollMs.
    Fd exited(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (request.onGroup) request.onGroup(pid, true);

    OutputTail tail(request.keepLines);
    const auto started = Clock::now();
    bool pipeOpen = true;
    bool timedOut = false;
    bool killed = false;
    bool haveTerm = false;
    Clock::time_point termAt;
    siginfo_t info{};
    bool lost = false;
    for (;;) {
        {
            // A negative fd is skipped by poll.
            pollfd p[2] = {{pipeOpen ? readEnd.Get() : -1, POLLIN, 0}, {exited.Get(), POLLIN, 0}};
            if (poll(p, 2, kPollMs) > 0 && p[0].revents)
                pipeOpen = ReadAvailable(readEnd.Get(), tail, kReadSlice);
        }
        // WNOWAIT leaves the child a zombie, which keeps its process group id
        // reserved while we may still signal the group.
        info = siginfo_t{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
            if (info.si_pid == pid) break;
        } else if (errno == ECHILD) {
            // Someone else collected it (a host that ignores SIGCHLD).
            lost = true;
            break;
        }

        const auto now = Clock::now();
        bool stopped;
        Clock::time_point stopAt;
        {
            std::lock_guard lock(g_runsMutex);
            stopped = state_.stopRequested;
            stopAt = state_.stopAt;
        }
        if (stopped && !haveTerm) {
            haveTerm = true;
            termAt = stopAt;
        }
        if (request.timeLimitSeconds > 0 && !timedOut && !stopped &&
            now - started >= std::chrono::seconds(request.timeLimitSeconds)) {
            timedOut = true;
            kill(-pid, SIGTERM);
            haveTerm = true;
            termAt = now;
        }
        if (haveTerm && !killed && now - termAt >= std::chrono::seconds(kStopGraceSeconds)) {
            kill(-pid, SIGKILL);
            killed = true;
        }
    }

    if (pipeOpen) ReadAvailable(readEnd.Get(), tail, kDrainLimit);
    bool stopped = StopRequested();
    {
        std::lock_guard lock(g_runsMutex);
        // What the program left behind in its group goes with it when the run
        // was cut short; after a normal end, background processes it started
        // on purpose are left alone.
        if (!lost && (stopped || timedOut)) kill(-pid, SIGKILL);
        state_.group = 0;
    }
    guard.Release();
    // Either nothing of the group runs any more, or what runs was left on
    // purpose by a program that ended by itself.
    if (request.onGroup) request.onGroup(pid, false);
    if (!lost) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }

    result.lines = tail.Finish();
    if (stopped) {
        result.end = ProgramEnd::Stopped;
    } else if (timedOut) {
        result.end = ProgramEnd::TimedOut;
    } else if (lost) {
        result.end = ProgramEnd::Lost;
        result.message = "the exit status of " + request.program +
                         " was collected by another part of the process";
    } else if (info.si_code == CLD_EXITED) {
        result.end = ProgramEnd::Exited;
        result.code = info.si_status;
    } else {
        result.end = ProgramEnd::Signalled;
        result.code = info.si_status;
    }
    return result;
}

}  // namespace zk40::runprogram
