#include "KorvelUsageTimer.h"

#include <pthread.h>

#include <nlohmann/json.hpp>

#include "platform/RunLoop.h"
#include "telemetry/ApplicationActivity.h"
#include "telemetry/KorvelTracking.h"
#include "telemetry/RWSystemIdleTime.h"

KorvelUsageTimer& KorvelUsageTimer::shared() {
  static KorvelUsageTimer* timer =
      new KorvelUsageTimer(UsageTimer::Limits{maximumIdleTime, counterTime, event}, standardSources());
  return *timer;
}

UsageTimer::Sources KorvelUsageTimer::standardSources() {
  ApplicationActivity::startFollowing();
  return UsageTimer::Sources{
      [] { return UsageTimer::Clock::now(); },
      [] { return ApplicationActivity::lastKnown(); },
      [] { return getSystemIdleTime(); },
      [](const std::string& name) {
        MainQueue::async([name] { KorvelTracking::shared().track(name, nlohmann::json::array()); });
      },
  };
}

KorvelUsageTimer::KorvelUsageTimer(UsageTimer::Limits limits, UsageTimer::Sources sources)
    : timer_(std::move(limits), std::move(sources)) {
  thread_ = std::thread([this] { run(); });
}

KorvelUsageTimer::~KorvelUsageTimer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_all();
  thread_.join();
}

void KorvelUsageTimer::run() {
  pthread_setname_np(pthread_self(), "Timer");
  auto next = UsageTimer::Clock::now();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (stop_.wait_until(lock, next, [this] { return stopping_; })) break;
    lock.unlock();
    timer_.tick();
    lock.lock();
    next += std::chrono::seconds(1);
    // After a long hold-up, tick once now rather than once for each missed second.
    next = std::max(next, UsageTimer::Clock::now());
  }
}
