#pragma once
// Waits of every test that needs the main loop: a test waits for the condition it checks, with a
// deadline generous enough for a loaded machine, never for a fixed time or order of events.

#include <functional>
#include <memory>

#include "platform/RunLoop.h"

namespace testwait {

// Spins the main loop until `done` answers true or `timeout` seconds pass; answers `done()`.
inline bool waitFor(const std::function<bool()>& done, double timeout = 30) { return RunLoop::runUntil(done, timeout); }

// Runs the main loop until what is queued on it now has run: a marker queued behind it has.
inline bool turn(double timeout = 30) {
  auto ran = std::make_shared<bool>(false);
  MainQueue::async([ran] { *ran = true; });
  return waitFor([&] { return *ran; }, timeout);
}

// For state held by a peer: `ask` fetches it (waiting for the answer itself) again and again until
// `ready` holds for what came back, or `timeout` passes; answers the last answer.
template <typename Answer>
Answer askUntil(const std::function<Answer()>& ask, const std::function<bool(const Answer&)>& ready,
                double timeout = 30) {
  Answer last{};
  waitFor([&] { return ready(last = ask()); }, timeout);
  return last;
}

}  // namespace testwait
