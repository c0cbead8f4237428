#include "PopoverLinkHover.h"

#include <algorithm>
#include <utility>

void PopoverLinkHover::entered(const std::optional<std::string>& link) {
  if (link) inside_.push_back(*link);
}

void PopoverLinkHover::exited(const std::optional<std::string>& link) {
  if (!link) return;
  auto it = std::find(inside_.rbegin(), inside_.rend(), *link);
  if (it != inside_.rend()) inside_.erase(std::next(it).base());
}

void PopoverLinkHover::mouseDown() { pressed_ = hoverOnLink(); }

std::optional<std::string> PopoverLinkHover::mouseUp() {
  auto pressed = std::exchange(pressed_, std::nullopt);
  if (!pressed || std::find(inside_.begin(), inside_.end(), *pressed) == inside_.end()) return std::nullopt;
  return pressed;
}

void PopoverLinkHover::reset() {
  inside_.clear();
  pressed_.reset();
}

std::optional<std::string> PopoverLinkHover::hoverOnLink() const {
  if (inside_.empty()) return std::nullopt;
  return inside_.back();
}
