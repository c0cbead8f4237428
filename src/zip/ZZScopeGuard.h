#pragma once
// Runs an action when the scope ends, unless dismissed.

#include <functional>
#include <utility>

class ZZScopeGuard {
 public:
  explicit ZZScopeGuard(std::function<void()> action) : action_(std::move(action)) {}
  ~ZZScopeGuard() {
    if (action_) action_();
  }
  ZZScopeGuard(const ZZScopeGuard&) = delete;
  ZZScopeGuard& operator=(const ZZScopeGuard&) = delete;
  void dismiss() { action_ = nullptr; }

 private:
  std::function<void()> action_;
};
