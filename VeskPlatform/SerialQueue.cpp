#include "SerialQueue.hpp"

#include <future>

#include "VeskPlatform/Threads.hpp"

namespace vesk {
namespace {

// The queue whose task is running on this thread, if any.
thread_local const SerialQueue* current = nullptr;

}  // namespace

SerialQueue::SerialQueue(std::string name, bool runInBackground)
    : label(std::move(name)), background(runInBackground), worker([this] { run(); }) {}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::async(Task task) { enqueue(Clock::now(), std::move(task)); }

void SerialQueue::asyncAfter(Clock::duration delay, Task task) {
    enqueue(Clock::now() + std::max(delay, Clock::duration::zero()), std::move(task));
}

bool SerialQueue::enqueue(Clock::time_point due, Task task) {
    {
        std::lock_guard lock(mutex);
        if (stopping) return false;
        tasks.emplace(std::make_pair(due, order++), std::move(task));
    }
    changed.notify_one();
    return true;
}

bool SerialQueue::sync(Task task) {
    if (current == this) {
        task();
        return true;
    }
    // Released when the queued task is done with: run, or dropped by a stop.
    struct Waiter {
        std::promise<bool> released;
        bool ran = false;
        ~Waiter() { released.set_value(ran); }
    };
    auto waiter = std::make_shared<Waiter>();
    auto released = waiter->released.get_future();
    if (!enqueue(Clock::now(), [&task, waiter] {
            task();
            waiter->ran = true;
        })) {
        return false;
    }
    waiter.reset();
    return released.get();
}

void SerialQueue::stop(Due due) {
    {
        std::lock_guard lock(mutex);
        if (stopping && !worker.joinable()) return;
        stopping = true;
        dropDue = due == Due::drop;
    }
    changed.notify_one();
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
}

void SerialQueue::run() {
    current = this;
    if (background) Threads::runInBackground();
    std::unique_lock lock(mutex);
    for (;;) {
        if (tasks.empty() || (stopping && dropDue)) {
            if (stopping) break;
            changed.wait(lock);
            continue;
        }
        auto next = tasks.begin();
        auto now = Clock::now();
        if (next->first.first > now) {
            // What waits for a later time is dropped once the queue stops.
            if (stopping) break;
            changed.wait_until(lock, next->first.first);
            continue;
        }
        Task task = std::move(next->second);
        tasks.erase(next);
        lock.unlock();
        Threads::runLogged(label, task);
        task = nullptr;  // what it holds is released outside the lock, before the next
        lock.lock();
    }
    // Anything left was due later: a sync caller never queues for later, so none waits.
    // Dropped outside the lock, in case what a task holds queues more on its way out.
    auto dropped = std::move(tasks);
    lock.unlock();
}

}  // namespace vesk
