#include "ServerRestartPolicy.h"

#include <algorithm>
#include <cmath>

std::optional<double> ServerRestartPolicy::delayAfterFailure(double uptime) {
  if (uptime >= options_.quickFailure) quickFailures_ = 0;
  ++quickFailures_;
  if (quickFailures_ > options_.maxQuickFailures) return std::nullopt;
  return std::min(options_.maxDelay, options_.initialDelay * std::pow(2.0, quickFailures_ - 1));
}
