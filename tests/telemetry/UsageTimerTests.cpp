// The usage timers' ticks, on a clock, an active state and an idle time that the test sets.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "telemetry/KorvelUsageTimer.h"
#include "telemetry/KorvelUsageTimerHR.h"
#include "telemetry/UsageTimer.h"

namespace {

struct Ticking {
  explicit Ticking(double idleLimit = KorvelUsageTimerHR::maximumIdleTime,
                   double stretch = KorvelUsageTimerHR::counterTime)
      : timer({idleLimit, stretch, "active_60_30"},
              {[this] { return now; }, [this] { return active; }, [this] { return idle; },
               [this](const std::string& event) { reports.push_back(event); }}) {}
  // `count` ticks, each `step` seconds after the last.
  void run(int count, double step = 1.0) {
    for (int i = 0; i < count; ++i) {
      now += std::chrono::duration_cast<UsageTimer::Clock::duration>(std::chrono::duration<double>(step));
      timer.tick();
    }
  }

  UsageTimer::Clock::time_point now{};
  bool active = true;
  std::optional<double> idle = 2.0;
  std::vector<std::string> reports;
  UsageTimer timer;
};

TEST(UsageTimer, ReportsEachFullStretchOfActiveUseAndDropsTheExcess) {
  Ticking t(30.0, 60.0);
  t.run(59);
  EXPECT_TRUE(t.reports.empty());
  t.run(1);
  EXPECT_EQ(t.reports, std::vector<std::string>{"active_60_30"});
  EXPECT_EQ(t.timer.counter(), 0.0);

  Ticking coarse(60.0, 600.0);
  coarse.run(352, 1.7);
  EXPECT_TRUE(coarse.reports.empty());
  coarse.run(1, 1.7);  // 600.1 s: one report, nothing carried over
  EXPECT_EQ(coarse.reports.size(), 1u);
  EXPECT_EQ(coarse.timer.counter(), 0.0);
}

TEST(UsageTimer, CountsOnlyWhileActiveWithRecentInput) {
  Ticking t;
  t.active = false;
  t.run(120);
  EXPECT_EQ(t.timer.counter(), 0.0);
  EXPECT_GT(t.timer.totalRunning(), 0.0);

  t.active = true;
  t.idle = std::nullopt;  // no source: nothing counts
  t.run(120);
  EXPECT_EQ(t.timer.counter(), 0.0);

  t.idle = 45.0;  // beyond the fine timer's limit, within the coarse one's
  t.run(10);
  EXPECT_EQ(t.timer.counter(), 0.0);
  Ticking coarse(KorvelUsageTimer::maximumIdleTime, KorvelUsageTimer::counterTime);
  coarse.idle = 45.0;
  coarse.run(10);
  EXPECT_EQ(coarse.timer.counter(), 10.0);

  t.idle = 30.0;  // the limit itself still counts
  t.run(10);
  EXPECT_EQ(t.timer.counter(), 10.0);
  EXPECT_EQ(t.timer.totalForegroundActive(), 10.0);
}

TEST(UsageTimer, ALongGapCountsNoMoreThanTheLongestGapAllowed) {
  Ticking t;
  t.run(1, 3600.0);  // the machine slept for an hour
  EXPECT_EQ(t.timer.counter(), UsageTimer::maximumCountedGap);
  EXPECT_EQ(t.timer.totalRunning(), UsageTimer::maximumCountedGap);
  EXPECT_TRUE(t.reports.empty());
}

TEST(UsageTimer, TheTimerThreadTicksAndStopsWithItsOwner) {
  std::atomic<int> ticks{0};
  {
    KorvelUsageTimer timer({30.0, 60.0, "active_60_30"},
                           {[] { return UsageTimer::Clock::now(); },
                            [&] {
                              ++ticks;
                              return false;
                            },
                            [] { return std::optional<double>(); }, [](const std::string&) {}});
    // Polled until the first tick, for as long as a loaded machine may take to run the thread.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ticks == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(ticks.load(), 0);
}

}  // namespace
