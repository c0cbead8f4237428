#include "UsageTimer.h"

#include <algorithm>

UsageTimer::UsageTimer(Limits limits, Sources sources)
    : limits_(std::move(limits)), sources_(std::move(sources)), last_(sources_.now()) {}

void UsageTimer::tick() {
  auto now = sources_.now();
  double delta = std::chrono::duration<double>(now - last_).count();
  if (delta < 0) return;
  last_ = now;
  delta = std::min(delta, maximumCountedGap);
  totalRunning_ += delta;
  if (!sources_.isApplicationActive()) return;
  totalForeground_ += delta;
  auto idle = sources_.idleSeconds();
  if (!idle || *idle > limits_.maximumIdleTime) return;
  totalForegroundActive_ += delta;
  counter_ += delta;
  if (counter_ >= limits_.counterTime) {
    counter_ = 0;  // the excess is dropped
    sources_.report(limits_.event);
  }
}
