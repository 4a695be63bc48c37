#include "SerialQueue.hpp"

#include <future>

namespace vesk {
namespace {

const Log& log() {
    static const Log instance(LogChannels::queues);
    return instance;
}

// The queue whose task is running on this thread, if any.
thread_local const SerialQueue* current = nullptr;

}  // namespace

SerialQueue::SerialQueue(std::string name) : label(std::move(name)), worker([this] { run(); }) {}

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
    std::promise<void> done;
    auto finished = done.get_future();
    bool queued = enqueue(Clock::now(), [&task, &done] {
        // The caller waits for this promise whatever the task does.
        struct Signal {
            std::promise<void>& promise;
            ~Signal() { promise.set_value(); }
        } signal{done};
        task();
    });
    if (!queued) return false;
    finished.wait();
    return true;
}

void SerialQueue::stop() {
    {
        std::lock_guard lock(mutex);
        if (stopping && !worker.joinable()) return;
        stopping = true;
    }
    changed.notify_one();
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
}

void SerialQueue::run() {
    current = this;
    std::unique_lock lock(mutex);
    for (;;) {
        if (tasks.empty()) {
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
        try {
            task();
        } catch (const std::exception& error) {
            log().error("{}: task failed: {}", label, error.what());
        } catch (...) {
            log().error("{}: task failed", label);
        }
        task = nullptr;  // what it holds is released outside the lock, before the next
        lock.lock();
    }
    // Anything left was due later: a sync caller never queues for later, so none waits.
    // Dropped outside the lock, in case what a task holds queues more on its way out.
    auto dropped = std::move(tasks);
    lock.unlock();
}

}  // namespace vesk
