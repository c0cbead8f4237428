#pragma once
// Work on the files of a project spread over a few threads.

#include <cstddef>
#include <functional>

// Runs `body(i)` for i in [0, count) on up to `threads` threads (the caller's among them) until
// one call answers false; every thread has ended when this returns. Threads that can't be made
// leave their share to the others.
void performConcurrently(std::size_t count, std::size_t threads, const std::function<bool(std::size_t)>& body);

// One thread per core, at most `limit` and at most one per job.
std::size_t threadsForJobs(std::size_t jobs, std::size_t limit);
