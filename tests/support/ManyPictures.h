#pragma once
// What the tests of documents of thousands of pictures share: pictures of names of 255 bytes
// that differ only in their last few, and a watch of the main loop's longest hold.

#include <algorithm>
#include <chrono>
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

// The longest the main loop went without turning while it was watched.
class MainLoopWatch {
 public:
  using Clock = std::chrono::steady_clock;
  MainLoopWatch()
      : last_(Clock::now()), timer_(Timer::scheduled(0.01, true, [this] {
          auto now = Clock::now();
          longest_ = std::max(longest_, std::chrono::duration<double>(now - last_).count());
          last_ = now;
        })) {}
  double longestSeconds() const { return longest_; }

 private:
  Clock::time_point last_;
  double longest_ = 0;
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
