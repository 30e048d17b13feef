#pragma once
// TSync: the lock that guards a record shared between the user-interface
// thread and worker threads. It is recursive because a locked operation often
// calls another locked operation of the same record.
#include <mutex>

namespace zk40 {

class TSync {
public:
    TSync() = default;
    // Records holding a TSync are copied (a job copied for editing, say); the
    // copy is a new record and gets its own, unlocked mutex. Assignment keeps
    // each side's mutex for the same reason.
    TSync(const TSync&) noexcept {}
    TSync& operator=(const TSync&) noexcept { return *this; }

    // Locking does not change the guarded data, so const records can lock.
    void Enter() const { mutex_.lock(); }
    void Leave() const { mutex_.unlock(); }
    bool TryEnter() const { return mutex_.try_lock(); }

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
    mutable std::recursive_mutex mutex_;
};

}  // namespace zk40
