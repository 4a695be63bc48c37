#pragma once

#include <functional>
#include <string_view>

namespace vesk::Threads {

// Runs a queued task on a worker thread: what it throws is logged ("LABEL: task
// failed: ...") and goes no further, so the thread lives on.
void runLogged(std::string_view label, const std::function<void()>& task);

// Lowers the calling thread's scheduling priority for work that may wait (reporting to
// the backend): when the processor is busy, the DNS path goes first. Best effort.
void runInBackground();

}  // namespace vesk::Threads
