#include "Threads.hpp"

#ifdef __APPLE__
#include <pthread.h>
#include <sys/qos.h>
#else
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "VeskPlatform/Log.hpp"

namespace vesk::Threads {

void runLogged(std::string_view label, const std::function<void()>& task) {
    static const Log log(LogChannels::queues);
    try {
        task();
    } catch (const std::exception& error) {
        log.error("{}: task failed: {}", label, error.what());
    } catch (...) {
        log.error("{}: task failed", label);
    }
}

void runInBackground() {
#ifdef __APPLE__
    pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0);
#else
    // On Linux a thread is a task of its own, with its own nice value.
    auto thread = static_cast<id_t>(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, thread, 19);
#endif
}

void runWhenIdle() {
#ifdef __APPLE__
    // Threads below the default band are preempted as soon as a higher one is runnable.
    runInBackground();
#else
    sched_param none{};
    auto thread = static_cast<pid_t>(::syscall(SYS_gettid));
    if (::sched_setscheduler(thread, SCHED_IDLE, &none) != 0) runInBackground();
#endif
}

}  // namespace vesk::Threads
