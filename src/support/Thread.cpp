#include "support/Thread.h"

#include <cxxabi.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <exception>
#include <string>

namespace zk40 {

namespace {

// The worker whose body runs on this thread; lets Exit refuse calls from
// anywhere else (throwing there would unwind the wrong stack).
thread_local TThread* t_currentThread = nullptr;

// A thread whose owner asks for no particular stack gets a comfortable one,
// never less than this even where the default is smaller. (Job threads ask
// for a small one: a burst of a thousand must not cost a thousand big
// stacks, and module authors are told to bring their own thread when they
// need more.)
constexpr size_t kMinStackBytes = 1024 * 1024;

}  // namespace

TThread::TThreadError::TThreadError(TKind kind)
    : std::runtime_error(std::string("Error[thread]: ") + KindName(kind)), kind_(kind) {}

const char* TThread::TThreadError::KindName(TKind kind) {
    switch (kind) {
        case CreationFailure:
            return "creation failure";
        case DestroyedBeforeExit:
            return "destroyed before Exit()";
    }
    return "unknown";
}

TThread::TThread() = default;

TThread::~TThread() {
    if (CurrentStatus() == Running) {
        // Throwing from a destructor would end the program, so the usage error
        // is reported on stderr instead; then the thread is stopped and joined
        // rather than left running on a dead object.
        std::fprintf(stderr, "%s\n", TThreadError(TThreadError::DestroyedBeforeExit).what());
        TThread::RequestTermination();
    }
    JoinIfNeeded();
}

void TThread::RequestTermination() {
    {
        // Under the lock, so a body between its flag check and its wait in
        // SleepFor cannot miss the wake-up.
        std::lock_guard<std::mutex> lock(stateMutex_);
        stopRequested_.store(true, std::memory_order_release);
    }
    stateChanged_.notify_all();
}

int TThread::Run() { return -1; }

pthread_t TThread::Start() {
    if (CurrentStatus() == Running) {
        throw std::logic_error("Error[thread]: started while still running");
    }
    // A finished run's thread may still be leaving ThreadProc; release it
    // before its fields are reused.
    JoinIfNeeded();

    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        bodyDone_ = false;
        idKnown_ = false;
        levelPending_ = false;
        stopRequested_.store(false, std::memory_order_release);
    }
    exitCode_.store(kStillActive, std::memory_order_release);
    // Running is recorded before the thread exists so that a body ending at
    // once cannot have its "ended" overwritten by this store.
    status_.store(Running, std::memory_order_release);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackBytes_ != 0) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t want = std::max<size_t>(stackBytes_, PTHREAD_STACK_MIN);
        want = (want + page - 1) / page * page;
        pthread_attr_setstacksize(&attr, want);
    } else {
        size_t stackBytes = 0;
        pthread_attr_getstacksize(&attr, &stackBytes);
        if (stackBytes < kMinStackBytes) pthread_attr_setstacksize(&attr, kMinStackBytes);
    }
    pthread_t handle{};
    const int rc = pthread_create(&handle, &attr, &TThread::ThreadProc, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        exitCode_.store(-1, std::memory_order_release);
        status_.store(Failed, std::memory_order_release);
        throw TThreadError(TThreadError::CreationFailure);
    }
    {
        std::lock_guard<std::mutex> lock(joinMutex_);
        handle_ = handle;
        joinable_ = true;
    }
    // No waiting for the new thread here: a program that starts a thousand
    // jobs in one tick must not wait a thread switch for each of them. A
    // priority asked for before the thread runs is applied by the thread.
    return handle;
}

void* TThread::ThreadProc(void* self) {
    static_cast<TThread*>(self)->Body();
    return nullptr;
}

void TThread::Body() {
    t_currentThread = this;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        const pid_t tid = gettid();
        // The nice value this thread inherited is its "normal" priority.
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
        baseNice_.store(errno == 0 ? nice : 0, std::memory_order_release);
        threadId_.store(static_cast<uint32_t>(tid), std::memory_order_release);
        idKnown_ = true;
        if (levelPending_) {
            setpriority(PRIO_PROCESS, static_cast<id_t>(tid),
                        std::clamp(nice - pendingLevel_, -20, 19));
            levelPending_ = false;
        }
    }
    stateChanged_.notify_all();

    int code = -1;
    try {
        code = Run();
    } catch (const ExitRequest& request) {
        code = request.code;
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must keep unwinding
    } catch (const std::exception& e) {
        // An escaping exception would terminate the whole program; the run
        // fails instead and says why.
        std::fprintf(stderr, "Error[thread]: unhandled exception in thread body: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Error[thread]: unhandled exception in thread body\n");
    }
    t_currentThread = nullptr;

    exitCode_.store(code, std::memory_order_release);
    status_.store(Ended, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        bodyDone_ = true;
    }
    stateChanged_.notify_all();
}

void TThread::Exit(int exitCode) {
    if (t_currentThread != this) {
        throw std::logic_error("Error[thread]: Exit() called outside the thread's own body");
    }
    // The end is recorded by Body once the unwinding is over: until then the
    // body's locals (locks on the owner's records, say) are still alive, and
    // an owner that saw "ended" could destroy what they refer to.
    throw ExitRequest{exitCode};
}

bool TThread::SleepFor(int ms) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    const auto stopped = [this] { return stopRequested_.load(std::memory_order_acquire); };
    if (ms < 0) {
        stateChanged_.wait(lock, stopped);
        return true;
    }
    return stateChanged_.wait_for(lock, std::chrono::milliseconds(ms), stopped);
}

uint32_t TThread::WaitForEnd(int timeoutMs) {
    if (CurrentStatus() != Running) return kWaitNotRunning;
    {
        std::unique_lock<std::mutex> lock(stateMutex_);
        const auto done = [this] { return bodyDone_; };
        if (timeoutMs < 0) {
            stateChanged_.wait(lock, done);
        } else if (!stateChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), done)) {
            return kWaitTimeout;
        }
    }
    JoinIfNeeded();
    return kWaitEnded;
}

uint32_t TThread::StopAndWait(int timeoutMs) {
    RequestTermination();
    return WaitForEnd(timeoutMs);
}

void TThread::SetPriorityLevel(int level) {
    if (CurrentStatus() != Running) return;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!idKnown_) {
            pendingLevel_ = level;
            levelPending_ = true;
            return;
        }
    }
    const int nice = std::clamp(baseNice_.load(std::memory_order_acquire) - level, -20, 19);
    // On Linux each thread has its own nice value, addressed by its kernel id.
    setpriority(PRIO_PROCESS, static_cast<id_t>(ThreadId()), nice);
}

void TThread::JoinIfNeeded() {
    std::lock_guard<std::mutex> lock(joinMutex_);
    // A body waiting for its own end must not try to join itself.
    if (!joinable_ || pthread_equal(handle_, pthread_self())) return;
    pthread_join(handle_, nullptr);
    joinable_ = false;
}

}  // namespace zk40
