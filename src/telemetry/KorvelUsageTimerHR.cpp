#include "KorvelUsageTimerHR.h"

KorvelUsageTimerHR& KorvelUsageTimerHR::shared() {
  static KorvelUsageTimerHR* timer =
      new KorvelUsageTimerHR(UsageTimer::Limits{maximumIdleTime, counterTime, event}, standardSources());
  return *timer;
}
