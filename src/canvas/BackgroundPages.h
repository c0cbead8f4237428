#pragma once
// Pages nobody looks at yet (the hidden welcome page, the third-party pages) start once the
// editor pages being opened are ready, so that their web processes don't compete with the one
// the person waits for. A page that never gets ready holds them back at most `longestWait`.
// Main thread only.

#include <functional>

namespace BackgroundPages {

inline constexpr double longestWait = 10.0;

// Held while an editor page is on its way; the last one released lets the waiting pages start.
class Hold {
 public:
  Hold();
  ~Hold();
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
};

// Runs `start` on the main loop, never before the current turn of it ends (so that documents
// handed over at launch count), once no hold is left or `longest` seconds have passed.
void whenIdle(std::function<void()> start, double longest = longestWait);

// How many starts wait; for tests.
int waiting();

}  // namespace BackgroundPages
