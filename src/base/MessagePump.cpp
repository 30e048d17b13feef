#include "base/MessagePump.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <chrono>
#include <cstdint>

namespace zk40 {

TMessagePump::TMessagePump(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)), mainThread_(std::this_thread::get_id()) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Made before the application object, the pump wakes its thread with
    // posted events instead.
    if (wakeFd_ >= 0 && QAbstractEventDispatcher::instance()) {
        wakeNotifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
        connect(wakeNotifier_, &QSocketNotifier::activated, this, &TMessagePump::Woken);
    }
}

TMessagePump::~TMessagePump() {
    Drain();
    delete wakeNotifier_;
    if (wakeFd_ >= 0) close(wakeFd_);
}

void TMessagePump::Woken() {
    uint64_t n;
    while (read(wakeFd_, &n, sizeof n) > 0) {
    }
    Drain();
}

void TMessagePump::Enqueue(Item* item) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(item);
        if (!wakePosted_) wake = wakePosted_ = true;
    }
    arrived_.notify_all();
    // One wake-up per batch: the main thread drains everything queued.
    if (!wake) return;
    if (wakeNotifier_) {
        uint64_t one = 1;
        // Fails only when the counter is full, and then a wake is pending.
        (void)!write(wakeFd_, &one, sizeof one);
    } else {
        QMetaObject::invokeMethod(this, [this] { Drain(); }, Qt::QueuedConnection);
    }
}

intptr_t TMessagePump::Send(uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    if (OnMainThread()) return handler_(msg, wparam, lparam);
    Item item{msg, wparam, lparam, true};
    Enqueue(&item);
    std::unique_lock<std::mutex> lock(mutex_);
    item.answered.wait(lock, [&] { return item.done; });
    return item.result;
}

void TMessagePump::Post(uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    Enqueue(new Item{msg, wparam, lparam, false});
}

intptr_t TMessagePump::SendCall(std::function<intptr_t()> call) {
    if (OnMainThread()) return call();
    Item item{0, 0, 0, true};
    item.call = std::move(call);
    Enqueue(&item);
    std::unique_lock<std::mutex> lock(mutex_);
    item.answered.wait(lock, [&] { return item.done; });
    return item.result;
}

void TMessagePump::PostCall(std::function<void()> call) {
    auto* item = new Item{0, 0, 0, false};
    item->call = [c = std::move(call)] {
        c();
        return intptr_t(0);
    };
    Enqueue(item);
}

void TMessagePump::Drain() {
    for (;;) {
        std::deque<Item*> batch;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            batch.swap(queue_);
            wakePosted_ = false;
        }
        if (batch.empty()) return;
        for (Item* item : batch) {
            intptr_t r =
                item->call ? item->call() : handler_(item->msg, item->wparam, item->lparam);
            if (item->sync) {
                // Notified under the lock: once it is released the sender
                // may return, and the item lives on the sender's stack.
                std::lock_guard<std::mutex> lock(mutex_);
                item->result = r;
                item->done = true;
                item->answered.notify_one();
            } else {
                delete item;
            }
        }
    }
}

bool TMessagePump::WaitServing(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    ++waiting_;
    struct Leave {
        int& n;
        ~Leave() { --n; }
    } leave{waiting_};
    for (;;) {
        Drain();
        if (done()) return true;
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
        // A window keeps repainting while we wait, but takes no clicks or
        // keys: a command must not start in the middle of another.
        if (OnMainThread() && QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                            QEventLoop::ExcludeSocketNotifiers);
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait_for(lock, std::chrono::milliseconds(10), [this] { return !queue_.empty(); });
    }
}

}  // namespace zk40
