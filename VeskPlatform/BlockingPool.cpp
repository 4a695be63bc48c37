#include "BlockingPool.hpp"

#include "VeskPlatform/Threads.hpp"

namespace vesk {

BlockingPool::BlockingPool(std::string name, size_t maxThreads, std::chrono::milliseconds retireAfter, bool lowered)
    : label(std::move(name)), cap(std::max<size_t>(maxThreads, 1)), idleLimit(retireAfter), background(lowered) {}

BlockingPool::~BlockingPool() { stop(); }

void BlockingPool::submit(Task task) {
    std::unique_lock lock(mutex);
    if (stopping) return;
    reapRetired(lock);
    waiting.push_back(std::move(task));
    if (idle >= waiting.size()) {
        available.notify_one();
        return;
    }
    size_t alive = 0;
    for (const auto& worker : workers) alive += worker.retired ? 0 : 1;
    if (alive >= cap) return;  // it waits for a thread to come free
    auto self = workers.emplace(workers.end());
    self->thread = std::thread([this, self] { work(self); });
}

void BlockingPool::work(std::list<Worker>::iterator self) {
    if (background) Threads::runWhenIdle();
    std::unique_lock lock(mutex);
    for (;;) {
        ++idle;
        bool woke = available.wait_for(lock, idleLimit, [&] { return stopping || !waiting.empty(); });
        --idle;
        if (stopping || !woke) break;
        Task task = std::move(waiting.front());
        waiting.pop_front();
        lock.unlock();
        Threads::runLogged(label, task);
        task = nullptr;
        lock.lock();
    }
    // Once stopping, stop() has taken every thread (and may have let go of this one's
    // record): only otherwise is the record still ours to mark, for the next submit to join.
    if (!stopping) self->retired = true;
}

void BlockingPool::reapRetired(std::unique_lock<std::mutex>& lock) {
    std::list<Worker> done;
    for (auto it = workers.begin(); it != workers.end();) {
        auto next = std::next(it);
        if (it->retired) done.splice(done.end(), workers, it);
        it = next;
    }
    if (done.empty()) return;
    // A retired thread has nothing left to do but return.
    lock.unlock();
    for (auto& worker : done) worker.thread.join();
    lock.lock();
}

void BlockingPool::stop() {
    std::list<Worker> all;
    {
        std::lock_guard lock(mutex);
        stopping = true;
        waiting.clear();
        all.splice(all.end(), workers);
    }
    available.notify_all();
    for (auto& worker : all) {
        if (worker.thread.get_id() == std::this_thread::get_id()) {
            worker.thread.detach();  // stopped from one of its own tasks
        } else if (worker.thread.joinable()) {
            worker.thread.join();
        }
    }
}

size_t BlockingPool::threads() const {
    std::lock_guard lock(mutex);
    size_t alive = 0;
    for (const auto& worker : workers) alive += worker.retired ? 0 : 1;
    return alive;
}

}  // namespace vesk
