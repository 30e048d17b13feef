#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Process.h"
#include "support/Sync.h"
#include "support/Thread.h"
#include "zk40/module.h"

namespace zk40 {
namespace {

// A worker whose body is given by the test. Like every derived thread whose
// body uses its own members, it stops the thread in its own destructor.
class BodyThread : public TThread {
public:
    explicit BodyThread(std::function<int(BodyThread&)> body) : body_(std::move(body)) {}
    ~BodyThread() override { StopAndWait(-1); }

protected:
    int Run() override { return body_(*this); }

private:
    std::function<int(BodyThread&)> body_;
};

// Either result means "the thread has ended": the body may finish before the
// wait reads the status.
bool EndedResult(uint32_t result) {
    return result == TThread::kWaitEnded || result == TThread::kWaitNotRunning;
}

TEST(ThreadTest, NeverStartedThreadAnswersAtOnce) {
    TThread thread;
    EXPECT_EQ(thread.CurrentStatus(), TThread::NotStarted);
    EXPECT_EQ(thread.WaitForEnd(-1), TThread::kWaitNotRunning);
    EXPECT_EQ(thread.StopAndWait(-1), TThread::kWaitNotRunning);
    EXPECT_EQ(thread.CurrentStatus(), TThread::NotStarted);
    EXPECT_THROW(thread.Exit(1), std::logic_error);  // not from outside the body
}

TEST(ThreadTest, BaseBodyEndsWithMinusOne) {
    TThread thread;
    thread.Start();
    EXPECT_TRUE(EndedResult(thread.WaitForEnd(-1)));
    EXPECT_EQ(thread.CurrentStatus(), TThread::Ended);
    EXPECT_EQ(thread.ExitCode(), -1);
}

TEST(ThreadTest, StopAndWaitReturnsOnceThePollingBodyHasReturned) {
    std::atomic<bool> returned{false};
    BodyThread thread([&](BodyThread& self) {
        while (!self.TerminationRequested()) std::this_thread::yield();
        returned = true;
        return 42;
    });
    thread.Start();
    EXPECT_EQ(thread.CurrentStatus(), TThread::Running);
    EXPECT_EQ(thread.ExitCode(), TThread::kStillActive);

    EXPECT_TRUE(EndedResult(thread.StopAndWait(-1)));
    EXPECT_TRUE(returned);
    EXPECT_EQ(thread.CurrentStatus(), TThread::Ended);
    EXPECT_EQ(thread.ExitCode(), 42);
}

TEST(ThreadTest, ExitEndsTheBodyAtOnceAndUnwindsIt) {
    struct SetOnDestroy {
        std::atomic<bool>& flag;
        ~SetOnDestroy() { flag = true; }
    };
    std::atomic<bool> localDestroyed{false};
    std::atomic<bool> ranPastExit{false};
    {
        BodyThread thread([&](BodyThread& self) {
            SetOnDestroy local{localDestroyed};
            self.Exit(7);
            ranPastExit = true;
            return 1;
        });
        thread.Start();
        EXPECT_TRUE(EndedResult(thread.WaitForEnd(-1)));
        EXPECT_EQ(thread.CurrentStatus(), TThread::Ended);
        EXPECT_EQ(thread.ExitCode(), 7);
        EXPECT_TRUE(localDestroyed);
    }
    EXPECT_FALSE(ranPastExit);
}

TEST(ThreadTest, EndedThreadStartsAgainWithAFreshStopFlag) {
    std::atomic<int> runs{0};
    std::atomic<int> started{0};
    BodyThread thread([&](BodyThread& self) {
        const int run = ++runs;
        const bool stopAlreadyRequested = self.TerminationRequested();
        started = run;
        self.SleepFor(-1);
        return stopAlreadyRequested ? -run : run;
    });
    for (int run = 1; run <= 2; ++run) {
        thread.Start();
        while (started != run) std::this_thread::yield();
        EXPECT_TRUE(EndedResult(thread.StopAndWait(-1)));
        EXPECT_EQ(thread.CurrentStatus(), TThread::Ended);
        EXPECT_EQ(thread.ExitCode(), run);
    }
    EXPECT_EQ(runs, 2);
}

TEST(ThreadTest, WaitTimesOutOnABlockedBody) {
    BodyThread thread([](BodyThread& self) {
        self.SleepFor(-1);
        return 5;
    });
    thread.Start();
    EXPECT_EQ(thread.WaitForEnd(0), TThread::kWaitTimeout);
    EXPECT_EQ(thread.WaitForEnd(20), TThread::kWaitTimeout);
    EXPECT_EQ(thread.CurrentStatus(), TThread::Running);
    EXPECT_THROW(thread.Start(), std::logic_error);

    EXPECT_TRUE(EndedResult(thread.StopAndWait(-1)));
    EXPECT_EQ(thread.ExitCode(), 5);
}

TEST(ThreadTest, SleepForWakesOnTerminationRequest) {
    TThread idle;
    EXPECT_FALSE(idle.SleepFor(1));
    idle.RequestTermination();
    EXPECT_TRUE(idle.SleepFor(-1));

    // An hour-long sleep on the worker ends as soon as the owner asks.
    BodyThread thread([](BodyThread& self) { return self.SleepFor(3600 * 1000) ? 1 : 0; });
    thread.Start();
    EXPECT_TRUE(EndedResult(thread.StopAndWait(-1)));
    EXPECT_EQ(thread.ExitCode(), 1);
}

TEST(ThreadTest, BodyRunsOnItsOwnThreadWithAtLeastOneMebibyteOfStack) {
    size_t stackBytes = 0;
    uint32_t tidInBody = 0;
    BodyThread thread([&](BodyThread&) {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstacksize(&attr, &stackBytes);
            pthread_attr_destroy(&attr);
        }
        tidInBody = static_cast<uint32_t>(gettid());
        return 0;
    });
    thread.Start();
    thread.WaitForEnd(-1);
    EXPECT_GE(stackBytes, 1024u * 1024u);
    EXPECT_EQ(tidInBody, thread.ThreadId());
    EXPECT_NE(tidInBody, static_cast<uint32_t>(gettid()));
}

TEST(ThreadTest, AThreadThatAsksForASmallStackGetsJustThat) {
    // What the job threads ask for, as module authors are promised.
    size_t stackBytes = 0;
    bool deepCallRan = false;
    BodyThread thread([&](BodyThread&) {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstacksize(&attr, &stackBytes);
            pthread_attr_destroy(&attr);
        }
        // A module's share: some 64 KiB of locals still fit with room to spare.
        volatile char scratch[64 * 1024];
        for (size_t i = 0; i < sizeof scratch; i += 4096) scratch[i] = 1;
        deepCallRan = scratch[0] == 1;
        return 0;
    });
    thread.SetStackSize(ZK_JOB_THREAD_STACK_SIZE);
    thread.Start();
    thread.WaitForEnd(-1);
    EXPECT_TRUE(deepCallRan);
    // (A guard page may or may not be counted in.)
    EXPECT_GE(stackBytes, size_t{ZK_JOB_THREAD_STACK_SIZE} - 16 * 1024);
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer adds room of its own to every thread's stack.
    constexpr size_t kSanitizerRoom = 1024 * 1024;
#else
    constexpr size_t kSanitizerRoom = 0;
#endif
    EXPECT_LT(stackBytes, size_t{2 * ZK_JOB_THREAD_STACK_SIZE} + kSanitizerRoom);
}

TEST(ThreadTest, BelowNormalPriorityLowersOnlyThatThread) {
    BodyThread thread([](BodyThread& self) {
        self.SleepFor(-1);
        return 0;
    });
    const int mine = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    // Asked for right after Start, maybe before the thread runs: the thread
    // then applies it itself as it starts.
    thread.Start();
    thread.SetPriorityLevel(-1);
    const int wanted = std::min(mine + 1, 19);
    EXPECT_TRUE(zk40test::WaitFor(
        [&] {
            const auto tid = static_cast<id_t>(thread.ThreadId());
            return tid != 0 && getpriority(PRIO_PROCESS, tid) == wanted;
        },
        10000));
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), mine);
    thread.StopAndWait(-1);
}

// Lives outside the object, since the object is gone while the body ends.
std::atomic<bool> g_inBody{false};
std::atomic<bool> g_sawStopRequest{false};

class UnownedThread : public TThread {
protected:
    int Run() override {
        g_inBody = true;
        SleepFor(-1);
        g_sawStopRequest = true;
        return 0;
    }
};

TEST(ThreadTest, DestroyingARunningThreadReportsAndStopsIt) {
    g_inBody = false;
    g_sawStopRequest = false;
    testing::internal::CaptureStderr();
    {
        UnownedThread thread;
        thread.Start();
        // Run is dispatched on the new thread; destroying the object before
        // that would leave only the base body to call.
        while (!g_inBody) std::this_thread::yield();
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Error[thread]: destroyed before Exit()"), std::string::npos) << err;
    EXPECT_TRUE(g_sawStopRequest);
}

TEST(ThreadTest, ErrorTextsAndKinds) {
    struct Row {
        TThread::TThreadError::TKind kind;
        int number;
        const char* text;
    };
    for (const Row& row :
         {Row{TThread::TThreadError::CreationFailure, 5, "Error[thread]: creation failure"},
          Row{TThread::TThreadError::DestroyedBeforeExit, 6,
              "Error[thread]: destroyed before Exit()"}}) {
        const TThread::TThreadError error(row.kind);
        const std::runtime_error& asRuntime = error;
        EXPECT_STREQ(asRuntime.what(), row.text);
        EXPECT_EQ(static_cast<int>(error.Kind()), row.number);
    }
}

// Tries the lock from another thread, as a competing worker would.
bool OtherThreadCanEnter(const TSync& sync) {
    bool entered = false;
    std::thread([&] {
        entered = sync.TryEnter();
        if (entered) sync.Leave();
    }).join();
    return entered;
}

TEST(SyncTest, RecursiveForTheHolderExclusiveForOthers) {
    const TSync sync;  // const records lock too
    {
        TSync::TLock outer(sync);
        {
            TSync::TLock inner(sync);  // a locked operation calling another one
            EXPECT_FALSE(OtherThreadCanEnter(sync));
        }
        EXPECT_FALSE(OtherThreadCanEnter(sync));  // still held by outer
    }
    EXPECT_TRUE(OtherThreadCanEnter(sync));
}

TEST(SyncTest, TryEnterNestsForTheHolder) {
    TSync sync;
    ASSERT_TRUE(sync.TryEnter());
    ASSERT_TRUE(sync.TryEnter());
    sync.Leave();
    EXPECT_FALSE(OtherThreadCanEnter(sync));  // one entry still open
    sync.Leave();
    EXPECT_TRUE(OtherThreadCanEnter(sync));
}

TEST(SyncTest, ContendingThreadsTakeTurnsAndAllGetIn) {
    // Threads fight over one lock, entering it nested now and then; any two
    // inside at once, or a lost update, or a sleeper never woken, shows.
    const TSync sync;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    long counter = 0;  // guarded by sync only
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                TSync::TLock lock(sync);
                if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                if ((i + t) % 7 == 0) {
                    TSync::TLock again(sync);
                    ++counter;
                } else {
                    ++counter;
                }
                inside.fetch_sub(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_TRUE(OtherThreadCanEnter(sync));
}

TEST(SyncTest, CopiesGetTheirOwnUnlockedMutex) {
    TSync original;
    TSync::TLock held(original);
    const TSync copy(original);
    TSync assigned;
    assigned = original;
    EXPECT_TRUE(OtherThreadCanEnter(copy));
    EXPECT_TRUE(OtherThreadCanEnter(assigned));
    EXPECT_FALSE(OtherThreadCanEnter(original));
}

}  // namespace
}  // namespace zk40
