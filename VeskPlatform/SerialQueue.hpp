#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>


namespace vesk {

// Where work is queued to run later, one task at a time, in order. The serial queue is
// the real one; tests put a queue on a clock of their own in its place.
class TaskQueue {
public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    virtual ~TaskQueue() = default;
    virtual void async(Task task) = 0;
    // Runs task once delay has passed, counted from now on a monotonic clock.
    virtual void asyncAfter(Clock::duration delay, Task task) = 0;
    // Runs task on the queue and waits for it. False, without running it, once the
    // queue has stopped.
    virtual bool sync(Task task) = 0;
};

// One thread that runs its tasks one at a time: those due first first, and those due
// together in the order they were queued. A task that throws is logged and the thread
// goes on. Stopping lets the running task finish, runs what is already due (or drops it,
// when asked), drops what waits for a later time and anything queued afterwards, and
// joins the thread: no caller is ever left waiting on it.
class SerialQueue final : public TaskQueue {
public:
    // label names the queue in log lines; a background queue runs below normal priority.
    explicit SerialQueue(std::string label, bool background = false);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task) override;
    void asyncAfter(Clock::duration delay, Task task) override;
    // From one of the queue's own tasks, task runs at once (it would wait for itself).
    // False when the task did not run (the queue stopped first).
    bool sync(Task task) override;
    enum class Due { run, drop };
    void stop(Due due = Due::run);

private:
    void run();
    bool enqueue(Clock::time_point due, Task task);

    const std::string label;
    const bool background;
    std::mutex mutex;  // guards tasks, order and stopping
    std::condition_variable changed;
    // By due time, then by the order queued.
    std::map<std::pair<Clock::time_point, uint64_t>, Task> tasks;
    uint64_t order = 0;
    bool stopping = false;
    bool dropDue = false;
    std::thread worker;
};

}  // namespace vesk
