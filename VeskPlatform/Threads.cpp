#include "Threads.hpp"

#ifdef __APPLE__
#include <pthread.h>
#include <sys/qos.h>
#else
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace vesk::Threads {

void runInBackground() {
#ifdef __APPLE__
    pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0);
#else
    // On Linux a thread is a task of its own, with its own nice value.
    auto thread = static_cast<id_t>(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, thread, 19);
#endif
}

}  // namespace vesk::Threads
