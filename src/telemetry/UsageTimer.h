#pragma once
// What one usage timer decides on each tick: how much of the time since the last tick was active
// use (the application active and the user's last input no older than the idle limit), and when
// a full stretch of it is reached. Time comes from a monotonic clock, and a gap longer than
// maximumCountedGap (the machine slept, the thread was held up) counts only that much.
// Not thread-safe: one timer thread owns an instance.

#include <chrono>
#include <functional>
#include <optional>
#include <string>

class UsageTimer {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    double maximumIdleTime;  // seconds of input idleness still counted as use
    double counterTime;      // seconds of use per report
    std::string event;
  };
  struct Sources {
    std::function<Clock::time_point()> now;
    // Both are read from the timer's thread.
    std::function<bool()> isApplicationActive;
    std::function<std::optional<double>()> idleSeconds;
    // Called on the timer's thread with the event to report.
    std::function<void(const std::string& event)> report;
  };

  static constexpr double checkTime = 1.0;
  static constexpr double maximumCountedGap = 2 * checkTime;

  UsageTimer(Limits limits, Sources sources);

  void tick();

  const Limits& limits() const { return limits_; }
  double counter() const { return counter_; }
  double totalRunning() const { return totalRunning_; }
  double totalForeground() const { return totalForeground_; }
  double totalForegroundActive() const { return totalForegroundActive_; }

 private:
  Limits limits_;
  Sources sources_;
  double counter_ = 0;
  double totalRunning_ = 0;
  double totalForeground_ = 0;
  double totalForegroundActive_ = 0;
  Clock::time_point last_;
};
