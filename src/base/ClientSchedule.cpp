// The scheduling loop: the tick, sleeping while nothing is due, starting due
// jobs and runs asked for by hand, reaping ended runs, and the wall clock.
#include <malloc.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>

#include "base/Client.h"
#include "base/Service.h"
#include "jobs/ClientView.h"
#include "jobs/JobDisplay.h"
#include "store/AppStore.h"
#include "store/Trace.h"
#include "update/UpdateCoordinator.h"

namespace zk40 {

void TZarkellClient::Reschedule(TJob& job, StoreTime now, NextRunCause cause) {
    if (job.ComputeNextRun(now, cause) || cause == NextRunCause::ClockChanged) return;
    std::string name;
    uint32_t kind;
    {
        TSync::TLock lock(job);
        name = job.Name.Get();
        kind = job.SchedType;
    }
    ShowStatus("Job \"" + name + "\":  Unknown schedule kind " + std::to_string(kind) +
               "; the job runs only when started by hand");
}

void TZarkellClient::WatchClock() {
    utcOffset_ = clock_.UtcOffset();
    // A timer that the kernel cancels whenever the wall clock is set.
    clockFd_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (clockFd_ < 0) return;
    auto arm = [this] {
        itimerspec spec{};
        spec.it_value.tv_sec = INT32_MAX;
        timerfd_settime(clockFd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec, nullptr);
    };
    arm();
    clockNotifier_ = new QSocketNotifier(clockFd_, QSocketNotifier::Read, this);
    connect(clockNotifier_, &QSocketNotifier::activated, this, [this, arm] {
        uint64_t n;
        ssize_t r = read(clockFd_, &n, sizeof n);
        (void)r;
        arm();
        ClockChanged();
    });
}

void TZarkellClient::ClockChanged() {
    // Whatever the offset is now, this recomputation has taken it in.
    utcOffset_ = clock_.UtcOffset();
    StoreTime now = clock_.Now();
    for (TJob* job : queue_.Jobs()) {
        Reschedule(*job, now, NextRunCause::ClockChanged);
        view_.JobChanged(job->Id());
    }
    queue_.Resort();
}

void TZarkellClient::UtcOffsetChanged(int64_t shift) {
    // Store times are wall-clock times of the offset they were taken in.
    // Hourly and interval jobs count real time from their last run, and a
    // pending retry waits a real delay: those times are expressed in the
    // new offset, so that the same instants stay meant (else the autumn
    // change would hold them for an hour, and the spring change run them
    // early). Calendar kinds mean wall-clock times and keep them, so a job
    // that ran in the hour that comes twice does not run again in its
    // repeat.
    auto shifted = [shift](StoreTime t) {
        const int64_t s = static_cast<int64_t>(t) + shift;
        return s > 0 && s < kNeverTime ? static_cast<StoreTime>(s) : t;
    };
    std::vector<uint32_t> changed;
    for (auto& j : jobs_.Owned()) {
        TSync::TLock lock(*j);
        const uint32_t kind = j->SchedType;
        const bool interval = kind == kSchedHourly || kind == kSchedEvery;
        if (!interval && j->RetriesDone == 0) continue;
        if (interval && j->LastRun.Get() != kSmallestTime) j->LastRun = shifted(j->LastRun);
        if (j->NextRun.Get() != kNeverTime) j->NextRun = shifted(j->NextRun);
        changed.push_back(j->Id());
    }
    queue_.Resort();
    for (uint32_t id : changed) view_.JobChanged(id);
}

// ---- the tick ----

bool TZarkellClient::Paused() const { return service_ && !service_->Running(); }

void TZarkellClient::EvTimer() {
    // A single-shot timer re-armed at the end: ticks never overlap and the
    // next one comes 100 ms after this one ends.
    timer_.stop();
    // Not sleeping while the tick runs: a wait inside it (a module being
    // replaced) runs the event loop, and the sleep check must not start a
    // second tick inside this one.
    sleeping_ = false;
    if (pump_->Waiting()) {
        // A command or an installation is waiting on the main thread (and
        // runs the event loop meanwhile); the tick resumes when it is done.
        Rearm();
        return;
    }
    if (service_) {
        const bool wasPaused = pausedSeen_;
        if (service_->CheckPauseAndStop()) QCoreApplication::quit();
        pausedSeen_ = Paused();
        if (pausedSeen_ != wasPaused)
            ShowStatus(pausedSeen_ ? "Scheduler:  Paused; no job starts until it continues "
                                     "(SIGUSR2), requests are still answered"
                                   : "Scheduler:  Continued");
    }
    ZK40_TRACE(kTraceTimer, "::EvTimer()");
    if (!firstTickDone_) {
        firstTickDone_ = true;
        FirstTick();
        Rearm();
        return;
    }
    view_.Tick();
    if (++tickCounter_ < 5) {
        Rearm();
        return;
    }
    tickCounter_ = 0;
    if (long offset = clock_.UtcOffset(); offset != utcOffset_) {
        const int64_t shift = static_cast<int64_t>(offset) - utcOffset_;
        utcOffset_ = offset;
        UtcOffsetChanged(shift);
    }
    StoreTime now = clock_.Now();
    PollConnection(app_.base.GetDword("ConnType", 3));
    updates_->ReapWorker();
    ReapThreads();
    CheckStoreChanged();
    if (schedulerEnabled_ && !updates_->Updating() && !Paused()) {
        StartRequestedRuns();
        StartDueJobs(now);
    }
    if (!updates_->Updating() && !Paused()) updates_->Timing(now);
    Rearm();
}

void TZarkellClient::Rearm() {
    if (closed_) return;
    if (!alignTicks_) {
        timer_.start(100);
        return;
    }
    if (Idle()) {
        int64_t sleep = IdleSleepMs();
        if (sleep >= 0) {
            if (trimWhenIdle_) {
                // Going to sleep after work (the load, a burst of runs):
                // the heap's free pages go back to the system rather than
                // stay counted against an idle program.
                trimWhenIdle_ = false;
                malloc_trim(0);
            }
            // The wake-up is a pass: it lands just after the due second.
            sleeping_ = true;
            tickCounter_ = 4;
            timer_.start(static_cast<int>(sleep));
            return;
        }
    }
    sleeping_ = false;
    // Ticks land just after a tenth of a second of the wall clock, and the
    // scheduling pass (every fifth tick) just after a whole or half second:
    // a job due at a second then starts within milliseconds of it rather
    // than up to half a second late, while ticks stay 100 ms apart.
    using namespace std::chrono;
    int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    int64_t wait = 100 - ms % 100 + 3;
    if (wait < 50) wait += 100;
    int64_t at = (ms + wait) / 100;
    if (at % 5 == 0) tickCounter_ = 4;
    timer_.start(static_cast<int>(wait));
}

void TZarkellClient::PollConnection(uint32_t connType) {
    TConnectionMonitor& connection = updates_->Connection();
    if (connType == kConnDialUp && !linkNotifier_ && connection.Watch()) {
        linkNotifier_ = new QSocketNotifier(connection.WatchFd(), QSocketNotifier::Read, this);
        connect(linkNotifier_, &QSocketNotifier::activated, this, [this] {
            TConnectionMonitor& c = updates_->Connection();
            if (c.DrainLinkEvents() && app_.base.GetDword("ConnType", 3) == kConnDialUp)
                c.Poll(kConnDialUp);
        });
    }
    connection.Poll(connType);
}

void TZarkellClient::SetKeepTicking(bool on) {
    keepTicking_ = on;
    CheckSleep();
}

bool TZarkellClient::Idle() const {
    if (!firstTickDone_ || keepTicking_ || updates_->Updating() || updates_->WorkerExists() ||
        !threads_.empty())
        return false;
    // The tick notices a pause or continue; a paused program then sleeps.
    if (service_ && Paused() != pausedSeen_) return false;
    return true;
}

int64_t TZarkellClient::IdleSleepMs() const {
    StoreTime now = clock_.Now();
    StoreTime due = now + static_cast<StoreTime>(kMaxIdleSleepMs / 1000);
    if (Paused()) return kMaxIdleSleepMs;
    if (schedulerEnabled_ && !runRequests_.empty()) return -1;
    if (schedulerEnabled_ && !queue_.Empty()) {
        TJob* front = queue_.Front();
        TSync::TLock lock(*front);
        due = std::min<StoreTime>(due, front->NextRun.Get());
    }
    if (updates_->NeedsPassNow(&due)) return -1;
    if (due <= now) return -1;
    using namespace std::chrono;
    int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<int64_t>(due - now) * 1000 - ms % 1000 + 3;
}

void TZarkellClient::CheckSleep() {
    if (!sleeping_ || closed_) return;
    int64_t sleep = Idle() ? IdleSleepMs() : -1;
    if (sleep < 0) {
        sleeping_ = false;
        tickCounter_ = 4;
        timer_.start(0);
    } else if (sleep < timer_.remainingTime()) {
        timer_.start(static_cast<int>(sleep));
    }
}

void TZarkellClient::ReapThreads() {
    for (bool found = true; found;) {
        found = false;
        for (size_t i = 0; i < threads_.size(); ++i) {
            TJobThread& t = *threads_[i];
            if (t.CurrentStatus() == TThread::Running) continue;
            TJob& job = t.Job();
            {
                TSync::TLock lock(job);
                if (job.State.Get() == +JobState::StartRequested) continue;
            }
            t.WaitForEnd(-1);
            threads_.erase(threads_.begin() + static_cast<long>(i));
            found = true;
            trimWhenIdle_ = true;
            if (ApplyDeferredChange(&job)) break;
            {
                TSync::TLock lock(job);
                job.State = +JobState::Completed;
            }
            Reschedule(job, clock_.Now());
            view_.JobChanged(job.Id());
            queue_.Insert(&job);
            break;
        }
    }
}

void TZarkellClient::JobThreadEnded() {
    // One wake-up for however many end before the main thread gets to it.
    if (collectPosted_.exchange(true)) return;
    pump_->PostCall([this] {
        collectPosted_ = false;
        CollectEndedThreads();
    });
}

void TZarkellClient::CollectEndedThreads() {
    // At once rather than at the next pass: the job shows as completed and
    // its next run is queued without waiting for the tick.
    // Inside a wait (a command, the shutdown) or a burst's own start, the
    // tick's next pass collects them instead: those walk threads_ themselves.
    if (closed_ || pump_->Waiting() || inStartDueJobs_) return;
    ReapThreads();
}

void TZarkellClient::StartDueJobs(StoreTime now) {
    inStartDueJobs_ = true;
    struct Leave {
        bool& flag;
        ~Leave() { flag = false; }
    } leave{inStartDueJobs_};
    auto frontDue = [&] {
        if (queue_.Empty()) return false;
        TJob* job = queue_.Front();
        TSync::TLock lock(*job);
        return job->NextRun.Get() <= now;
    };
    // The first few turns start a few jobs each and then answer what the
    // jobs already started ask of the main thread: a module reads its
    // settings and reports its status through it, a handful of round trips
    // before its program starts, so otherwise the first of a thousand would
    // wait for the last to be made. The rest start together: spread out,
    // the early jobs' ends would compete with the later ones' starts.
    for (int turn = 0;; ++turn) {
        const size_t most = turn < kAnsweredTurns ? kStartsPerTurn : SIZE_MAX;
        std::vector<TJob*> due;
        while (due.size() < most && frontDue()) {
            due.push_back(queue_.Front());
            queue_.PopFront();
        }
        if (due.empty()) return;
        // The first job of a burst starts before the rest are prepared, so
        // its start does not wait for theirs.
        StartJob(*due.front(), true);
        if (due.size() > 1) {
            // The others' LastRun and State go to the store in one commit
            // instead of two each.
            auto rest = due.begin() + 1;
            if (app_.Store()) {
                app_.Store()->Transaction([&] {
                    for (auto it = rest; it != due.end(); ++it) MarkStarted(**it);
                    return true;
                });
            } else {
                for (auto it = rest; it != due.end(); ++it) MarkStarted(**it);
            }
            for (auto it = rest; it != due.end(); ++it) StartJob(**it, false);
        }
        if (!frontDue()) return;
        pump_->Drain();
    }
}

void TZarkellClient::MarkStarted(TJob& job) {
    TSync::TLock lock(job);
    job.LastRun = clock_.Now();
    job.State = +JobState::StartRequested;
}

bool TZarkellClient::StartJob(TJob& job) { return StartJob(job, true); }

bool TZarkellClient::StartJob(TJob& job, bool mark) {
    ZK40_TRACE(kTraceRunJob, "TZarkellClient::StartJob()");
    if (mark) MarkStarted(job);
    view_.JobChanged(job.Id());
    threads_.push_back(std::make_unique<TJobThread>(job, *this, crashKey_, actionsKey_, runners_));
    threads_.back()->SetEndedCallback([this] { JobThreadEnded(); });
    try {
        threads_.back()->StartRun();
    } catch (const std::exception& e) {
        threads_.pop_back();
        {
            TSync::TLock lock(job);
            job.State = +JobState::Completed;
        }
        ShowStatus(std::string("Cannot start a job thread: ") + e.what());
        job.ComputeNextRun(clock_.Now());
        queue_.Insert(&job);
        return false;
    }
    ZK40_TRACE(kTraceRunJob, "TZarkellClient::StartJob()");
    return true;
}

}  // namespace zk40
