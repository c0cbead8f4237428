#pragma once
// Reports every 600 seconds of active use (idle limit 60 s) as "active_600_60". It ticks once a
// second on its own thread named "Timer" and hands each report to the main queue, where the
// event tracker runs. Runs from creation until it is destroyed (the shared one: the whole run).

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "telemetry/UsageTimer.h"

class KorvelUsageTimer {
 public:
  static constexpr double maximumIdleTime = 60.0;
  static constexpr double counterTime = 600.0;
  static constexpr const char* event = "active_600_60";

  // Created and started on first use (main thread).
  static KorvelUsageTimer& shared();
  // The application's sources: the monotonic clock, the main thread's view of whether the
  // application is active, the system idle time, and the shared tracker.
  static UsageTimer::Sources standardSources();

  KorvelUsageTimer(UsageTimer::Limits limits, UsageTimer::Sources sources);
  virtual ~KorvelUsageTimer();
  KorvelUsageTimer(const KorvelUsageTimer&) = delete;
  KorvelUsageTimer& operator=(const KorvelUsageTimer&) = delete;

 private:
  void run();

  UsageTimer timer_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread thread_;
};
