#pragma once
// Keeps an observation alive; destroying or resetting the token ends it.

#include <functional>
#include <utility>

class ObserverToken {
 public:
  ObserverToken() = default;
  explicit ObserverToken(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
  ObserverToken(ObserverToken&& o) noexcept : cancel_(std::exchange(o.cancel_, nullptr)) {}
  ObserverToken& operator=(ObserverToken&& o) noexcept {
    if (this != &o) {
      reset();
      cancel_ = std::exchange(o.cancel_, nullptr);
    }
    return *this;
  }
  ObserverToken(const ObserverToken&) = delete;
  ObserverToken& operator=(const ObserverToken&) = delete;
  ~ObserverToken() { reset(); }

  void reset() {
    if (auto cancel = std::exchange(cancel_, nullptr)) cancel();
  }
  explicit operator bool() const { return static_cast<bool>(cancel_); }

 private:
  std::function<void()> cancel_;
};
