#include "ApplicationActivity.h"

#include <atomic>
#include <memory>

#include "platform/ApplicationFocus.h"
#include "platform/RunLoop.h"

namespace {
std::atomic<bool> lastAnswer{false};
}  // namespace

bool ApplicationActivity::isActive() { return ApplicationFocus::windowHasFocus(); }

void ApplicationActivity::startFollowing() {
  static std::unique_ptr<Timer> timer = Timer::scheduled(1.0, true, [] { lastAnswer = isActive(); });
}

bool ApplicationActivity::lastKnown() {
  return lastAnswer;
}
