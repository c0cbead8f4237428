#pragma once
// Work a person waits for (an export) beside work no one waits for (reduced copies of pictures):
// while any of the first is under way, the second waits between its steps. A thread of the
// lowest priority would still cost the first much of its time: the cores' shared caches and
// memory, and their other halves. Any thread.

#include <cstddef>
#include <memory>

namespace WaitedForWork {

// Under way until the last copy of what this returns is let go.
std::shared_ptr<void> begin();
// Returns once no waited-for work is under way: at once when none is.
void giveWay();
// How many threads wait in giveWay, for tests.
std::size_t givingWay();

}  // namespace WaitedForWork
