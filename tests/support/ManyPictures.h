#pragma once
// What the tests of documents of thousands of pictures share: pictures of names of 255 bytes
// that differ only in their last few, and a watch of the main loop's longest hold.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/RunLoop.h"

namespace manypictures {

// Text of the shared part almost names each of them at every byte.
inline std::string pictureName(int i) {
  std::string tail = "-" + std::to_string(i) + ".png";
  return std::string(255 - tail.size(), 'p') + tail;
}

// `bytes` incompressible bytes, different for each `seed`.
inline std::string randomBytes(std::size_t bytes, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(bytes, '\0');
  for (auto& c : out) c = static_cast<char>(random());
  return out;
}

// How long the calling thread has been ready to run but waiting for a processor (the kernel's
// schedstat); 0 where the kernel doesn't keep it.
inline double secondsWaitingForAProcessor() {
  std::ifstream stat("/proc/thread-self/schedstat");
  unsigned long long running = 0, waiting = 0;
  return stat >> running >> waiting ? static_cast<double>(waiting) / 1e9 : 0;
}

// The longest the main loop went without turning while it was watched: its own work and what it
// waited for, not the time a loaded machine gave its processors to other programs.
class MainLoopWatch {
 public:
  using Clock = std::chrono::steady_clock;
  MainLoopWatch()
      : last_(Clock::now()), lastWaiting_(secondsWaitingForAProcessor()), timer_(Timer::scheduled(0.01, true, [this] {
          auto now = Clock::now();
          double waiting = secondsWaitingForAProcessor();
          double gap = std::chrono::duration<double>(now - last_).count();
          longest_ = std::max(longest_, gap - (waiting - lastWaiting_));
          longestGap_ = std::max(longestGap_, gap);
          last_ = now;
          lastWaiting_ = waiting;
        })) {}
  double longestSeconds() const { return longest_; }
  // The same on the clock, with the load's share in it.
  double longestGapSeconds() const { return longestGap_; }

 private:
  Clock::time_point last_;
  double lastWaiting_;
  double longest_ = 0, longestGap_ = 0;
  std::unique_ptr<Timer> timer_;
};

// Runs `work` on the main loop from a turn of its own until it calls `done`; answers how long it
// took and the main loop's longest hold meanwhile.
inline std::pair<double, double> onTheMainLoop(const std::function<void(std::function<void()> done)>& work,
                                               double timeout) {
  using Clock = MainLoopWatch::Clock;
  MainLoopWatch watch;
  auto done = std::make_shared<bool>(false);
  auto started = Clock::now();
  MainQueue::async([&work, done] { work([done] { *done = true; }); });
  EXPECT_TRUE(RunLoop::runUntil([&] { return *done; }, timeout));
  RunLoop::runOnce(0);
  return {std::chrono::duration<double>(Clock::now() - started).count(), watch.longestSeconds()};
}

}  // namespace manypictures
