#pragma once
// TSync: the lock that guards a record shared between the user-interface
// thread and worker threads. It is recursive because a locked operation often
// calls another locked operation of the same record.
//
// Every job and every action carries one, so with tens of thousands of them
// loaded its size matters: a std::recursive_mutex takes 40 bytes, this lock
// 8. It is one 32-bit word that holds the owner's thread number (0 when
// free) and a mark that some other thread may be asleep on it, plus the
// owner's nesting depth. The uncontended paths are one compare-and-swap or
// one exchange; a thread that must wait sleeps on the word with futex.
#include <atomic>
#include <cassert>
#include <cstdint>

namespace zk40 {

class TSync {
public:
    TSync() = default;
    // Records holding a TSync are copied (a job copied for editing, say); the
    // copy is a new record and gets its own, unlocked lock. Assignment keeps
    // each side's lock for the same reason.
    TSync(const TSync&) noexcept {}
    TSync& operator=(const TSync&) noexcept { return *this; }

    // Locking does not change the guarded data, so const records can lock.
    void Enter() const {
        const uint32_t self = ThreadNumber();
        uint32_t seen = 0;
        if (word_.compare_exchange_strong(seen, self, std::memory_order_acquire,
                                          std::memory_order_relaxed))
            return;
        // Only this thread ever writes its own number into the word, so
        // seeing it there means this thread holds the lock already.
        if ((seen & kOwnerMask) == self) {
            ++depth_;
            return;
        }
        EnterContended(self);
    }
    // Only the holder may leave, once for each Enter.
    void Leave() const {
        assert((word_.load(std::memory_order_relaxed) & kOwnerMask) == ThreadNumber());
        if (depth_ > 0) {
            --depth_;
            return;
        }
        if (word_.exchange(0, std::memory_order_release) & kWaiters) WakeOne();
    }
    bool TryEnter() const {
        const uint32_t self = ThreadNumber();
        uint32_t seen = 0;
        if (word_.compare_exchange_strong(seen, self, std::memory_order_acquire,
                                          std::memory_order_relaxed))
            return true;
        if ((seen & kOwnerMask) != self) return false;
        ++depth_;
        return true;
    }

    // Holds the lock for the lifetime of the guard.
    class TLock {
    public:
        explicit TLock(const TSync& sync) : sync_(sync) { sync_.Enter(); }
        ~TLock() { sync_.Leave(); }
        TLock(const TLock&) = delete;
        TLock& operator=(const TLock&) = delete;

    private:
        const TSync& sync_;
    };

private:
    static constexpr uint32_t kWaiters = 0x80000000u;
    static constexpr uint32_t kOwnerMask = ~kWaiters;

    // A number for the calling thread, never 0, never shared with another
    // live thread (numbers come from a counter and would repeat only after
    // two billion threads).
    static uint32_t ThreadNumber() {
        thread_local uint32_t number = 0;
        if (number == 0) number = NewThreadNumber();
        return number;
    }
    static uint32_t NewThreadNumber();
    void EnterContended(uint32_t self) const;
    void WakeOne() const;

    // Owner's thread number | kWaiters, or 0 when free. The futex word.
    mutable std::atomic<uint32_t> word_{0};
    // Entries by the owner beyond the first; only the owner touches it.
    mutable uint32_t depth_ = 0;
};

}  // namespace zk40
