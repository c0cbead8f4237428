#pragma once
// Reports every 60 seconds of active use (idle limit 30 s) as "active_60_30"; otherwise as
// KorvelUsageTimer.

#include "telemetry/KorvelUsageTimer.h"

class KorvelUsageTimerHR : public KorvelUsageTimer {
 public:
  static constexpr double maximumIdleTime = 30.0;
  static constexpr double counterTime = 60.0;
  static constexpr const char* event = "active_60_30";

  static KorvelUsageTimerHR& shared();
  using KorvelUsageTimer::KorvelUsageTimer;
};
