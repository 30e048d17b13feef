#pragma once
// Messages to the main thread. Post queues a message and returns; Send from
// another thread waits until the main thread has answered, and from the main
// thread answers at once. While the main thread itself waits for a worker
// (WaitServing) it keeps answering, so a worker blocked in Send can never
// deadlock it.
#include <QObject>
#include <QSocketNotifier>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace zk40 {

class TMessagePump : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<intptr_t(uint32_t msg, uintptr_t wparam, intptr_t lparam)>;
    explicit TMessagePump(Handler handler, QObject* parent = nullptr);
    ~TMessagePump() override;

    intptr_t Send(uint32_t msg, uintptr_t wparam, intptr_t lparam);
    void Post(uint32_t msg, uintptr_t wparam, intptr_t lparam);
    // The program's own calls to the main thread, in the same order as the
    // messages; modules cannot reach these, as they only have message numbers.
    intptr_t SendCall(std::function<intptr_t()> call);
    void PostCall(std::function<void()> call);
    // Answers everything queued so far (main thread).
    void Drain();
    // Main thread: waits until done() is true or timeoutMs passes (-1: no
    // limit), answering messages meanwhile. True when done() became true.
    bool WaitServing(const std::function<bool()>& done, int timeoutMs);
    bool OnMainThread() const { return std::this_thread::get_id() == mainThread_; }
    // True inside WaitServing: timers still fire there, and must not start
    // work that the wait is meant to finish first.
    bool Waiting() const { return waiting_ > 0; }

private:
    struct Item {
        uint32_t msg;
        uintptr_t wparam;
        intptr_t lparam;
        bool sync;
        intptr_t result = 0;
        bool done = false;
        std::function<intptr_t()> call{};
        // Wakes only this item's sender: with many job runners waiting, one
        // shared wake-up would rouse them all for every answer.
        std::condition_variable answered{};
    };
    void Enqueue(Item* item);
    void Woken();

    Handler handler_;
    std::thread::id mainThread_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Item*> queue_;
    bool wakePosted_ = false;
    // Other threads wake the main thread through an eventfd rather than a
    // posted Qt event: nothing of ours then crosses through Qt's event queue,
    // whose lock the thread checker cannot see, and a write is cheap.
    int wakeFd_ = -1;
    QSocketNotifier* wakeNotifier_ = nullptr;
    int waiting_ = 0;
};

}  // namespace zk40
