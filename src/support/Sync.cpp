#include "support/Sync.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zk40 {

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the futex word must be a plain 32-bit word");

uint32_t* FutexAddress(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

}  // namespace

uint32_t TSync::NewThreadNumber() {
    static std::atomic<uint32_t> next{1};
    for (;;) {
        const uint32_t n = next.fetch_add(1, std::memory_order_relaxed) & kOwnerMask;
        if (n != 0) return n;
    }
}

void TSync::EnterContended(uint32_t self) const {
    uint32_t seen = word_.load(std::memory_order_relaxed);
    for (;;) {
        if (seen == 0) {
            // Taken with the mark set: this thread cannot tell whether others
            // still sleep on the word, so its Leave must wake one to be sure.
            if (word_.compare_exchange_weak(seen, self | kWaiters, std::memory_order_acquire,
                                            std::memory_order_relaxed))
                return;
            continue;
        }
        if ((seen & kWaiters) == 0) {
            if (!word_.compare_exchange_weak(seen, seen | kWaiters, std::memory_order_relaxed,
                                             std::memory_order_relaxed))
                continue;
            seen |= kWaiters;
        }
        // Sleeps only while the word still says what we saw, so a Leave in
        // between is never missed.
        syscall(SYS_futex, FutexAddress(word_), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
        seen = word_.load(std::memory_order_relaxed);
    }
}

void TSync::WakeOne() const {
    syscall(SYS_futex, FutexAddress(word_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace zk40
