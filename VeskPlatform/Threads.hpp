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

// The same for bulk work of seconds of processor time (downloading, converting and
// building lists). On Linux such a thread gives way at once to any other that wakes; a
// lowered one may keep the processor for the rest of its time slice, longer than
// answering a query takes.
void runWhenIdle();

}  // namespace vesk::Threads
