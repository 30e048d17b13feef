#pragma once
// TThread: base of the program's worker threads (the job thread and the
// update thread). It owns one platform thread, starts it on demand, records
// its life state and carries a cooperative stop request that the body polls.
// A thread is never stopped by force: the body returns, or calls Exit, once it
// sees TerminationRequested().
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>

namespace zk40 {

class TThread {
public:
    enum TStatus : int32_t { NotStarted = 0, Running = 1, Ended = 3, Failed = 4 };

    // Results of WaitForEnd, numbered as module authors know them.
    static constexpr uint32_t kWaitEnded = 0;
    static constexpr uint32_t kWaitTimeout = 258;
    static constexpr uint32_t kWaitNotRunning = 0xFFFFFFFF;
    // ExitCode() while the body has not finished.
    static constexpr int kStillActive = 259;

    class TThreadError : public std::runtime_error {
    public:
        enum TKind { CreationFailure = 5, DestroyedBeforeExit = 6 };
        explicit TThreadError(TKind kind);
        TKind Kind() const { return kind_; }
        static const char* KindName(TKind kind);

    private:
        TKind kind_;
    };

    TThread();
    // Owners wait for the end before destroying a thread. If one does not,
    // the destructor reports the usage error on stderr and then stops and
    // joins the thread, so no thread outlives its object. A derived class
    // whose body uses its own members must stop the thread in its own
    // destructor: by the time this one runs, those members are gone.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Sets the stop request and wakes a body sleeping in SleepFor. Overrides
    // that wake their own waits must call this one too.
    virtual void RequestTermination();

    // Starts the platform thread running Run(). An object whose earlier
    // thread has ended may be started again; its old thread is released
    // first and the stop request is cleared for the new run. Throws
    // TThreadError (creation failure) when the platform refuses, and
    // std::logic_error when the previous thread is still running.
    pthread_t Start();

    // Ends the calling body at once with the given exit code. Only the
    // thread's own body may call it. It works by unwinding the body's stack
    // with a private exception type (so destructors of the body's locals run);
    // a body must therefore never swallow exceptions with catch (...) without
    // rethrowing.
    [[noreturn]] void Exit(int exitCode);

    // The stop flag; the body checks it between steps.
    bool TerminationRequested() const { return stopRequested_.load(std::memory_order_acquire); }

    // Sleeps up to ms milliseconds (negative: until a stop request) and
    // returns true at once when termination is or becomes requested, false
    // when the time ran out.
    bool SleepFor(int ms);

    TStatus CurrentStatus() const { return status_.load(std::memory_order_acquire); }

    // Waits at most timeoutMs milliseconds (-1: no limit) for the thread to
    // end. Returns kWaitEnded once it has, kWaitTimeout when the time ran out,
    // and kWaitNotRunning at once when the recorded status is not running
    // (never started, failed, or already ended).
    uint32_t WaitForEnd(int timeoutMs);
    // RequestTermination(), then WaitForEnd(timeoutMs).
    uint32_t StopAndWait(int timeoutMs);

    // The stack of threads started from now on; 0 (the default) gives the
    // platform's default, but never less than 1 MiB. A size set here is taken
    // as it is (rounded up to whole pages, and to the platform's smallest),
    // so a thread whose code is known to need little can stay small.
    void SetStackSize(size_t bytes) { stackBytes_ = bytes; }
    size_t StackSize() const { return stackBytes_; }

    // Platform priority level: -2 lowest .. 2 highest, -1 below normal. It
    // sets the running thread's nice value relative to the one it started
    // with (level -1 = nice +1).
    // Failures (raising priority without the right) are ignored: priority is
    // a hint, never a reason to fail a job.
    void SetPriorityLevel(int level);

    // The body's result (Run's return value or Exit's code); kStillActive
    // while it runs, -1 before the first start.
    int ExitCode() const { return exitCode_.load(std::memory_order_acquire); }
    // The kernel thread id of the current or last run; 0 before the first start.
    uint32_t ThreadId() const { return threadId_.load(std::memory_order_acquire); }

protected:
    // The body. Its return value becomes the exit code.
    virtual int Run();

private:
    struct ExitRequest {
        int code;
    };

    static void* ThreadProc(void* self);
    void Body();
    void JoinIfNeeded();

    std::atomic<TStatus> status_{NotStarted};
    std::atomic<bool> stopRequested_{false};
    std::atomic<int> exitCode_{-1};
    std::atomic<uint32_t> threadId_{0};
    std::atomic<int> baseNice_{0};
    // A level asked for before the new thread knew its kernel id; the
    // thread applies it itself as it starts.
    int pendingLevel_ = 0;
    size_t stackBytes_ = 0;
    bool levelPending_ = false;

    // Guards the fields below and the two waits.
    std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    bool bodyDone_ = false;
    bool idKnown_ = false;

    // The platform thread; only the owner side touches these.
    std::mutex joinMutex_;
    pthread_t handle_{};
    bool joinable_ = false;
};

}  // namespace zk40
