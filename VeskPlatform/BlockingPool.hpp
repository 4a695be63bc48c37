#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace vesk {

// Threads for work that blocks (running a tool, waiting on HTTP), so that no queue or
// loop waits behind it. A task starts at once on an idle thread, or on a new one while
// there are fewer than the cap; beyond that it waits its turn. A thread idle for the
// idle limit retires. A task that throws is logged and its thread goes on. Stopping
// drops what has not started, lets what runs finish, and joins every thread (a task that
// stops its own pool leaves its thread to end by itself).
class BlockingPool {
public:
    using Task = std::function<void()>;

    // A background pool runs its threads only when the processor is otherwise idle, or
    // nearly: its bulk work must not take the processor from the DNS path.
    explicit BlockingPool(std::string label, size_t maxThreads = 64,
                          std::chrono::milliseconds idleLimit = std::chrono::seconds(10), bool background = false);
    ~BlockingPool();
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Never waits for the task. Dropped once the pool has stopped.
    void submit(Task task);
    void stop();
    // Threads alive now (busy or idle).
    size_t threads() const;

private:
    struct Worker {
        std::thread thread;
        bool retired = false;
    };
    void work(std::list<Worker>::iterator self);
    void reapRetired(std::unique_lock<std::mutex>& lock);

    const std::string label;
    const size_t cap;
    const std::chrono::milliseconds idleLimit;
    const bool background;
    mutable std::mutex mutex;  // guards everything below
    std::condition_variable available;
    std::deque<Task> waiting;
    std::list<Worker> workers;
    size_t idle = 0;
    bool stopping = false;
};

}  // namespace vesk
