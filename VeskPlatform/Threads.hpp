#pragma once

namespace vesk::Threads {

// Lowers the calling thread's scheduling priority for work that may wait (reporting to
// the backend): when the processor is busy, the DNS path goes first. Best effort.
void runInBackground();

}  // namespace vesk::Threads
