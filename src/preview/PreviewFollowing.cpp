#include "preview/PreviewFollowing.h"

#include <algorithm>

void PreviewFollowing::placed(Point preview, std::optional<Point> document) {
  following_ = true;
  if (document) document_ = document;
  willMove(preview);
}

void PreviewFollowing::willMove(Point preview) {
  target_ = preview;
  // A window asked to stay where it is may hear nothing back.
  if (known_ && *known_ == preview) return;
  pending_.push_back(preview);
  while (pending_.size() > maxPending) pending_.pop_front();
}

std::optional<PreviewFollowing::Point> PreviewFollowing::documentMoved(Point document) {
  auto before = document_;
  document_ = document;
  if (!following_ || !before || *before == document || !target_) return std::nullopt;
  Point to{target_->x + document.x - before->x, target_->y + document.y - before->y};
  willMove(to);
  return to;
}

bool PreviewFollowing::previewMoved(Point preview) {
  auto asked = std::find(pending_.begin(), pending_.end(), preview);
  if (asked != pending_.end()) {
    // Moves asked for before this one are over too.
    pending_.erase(pending_.begin(), asked + 1);
    known_ = preview;
    if (pending_.empty()) target_ = preview;
    return false;
  }
  if (known_ && *known_ == preview) return false;  // a resize, or news of the old place
  bool wasPending = !pending_.empty();
  known_ = target_ = preview;
  pending_.clear();
  // With a move of ours outstanding, the window manager may have put the window elsewhere
  // than asked (kept on screen); that is its answer, not the person's.
  if (wasPending) return false;
  following_ = false;
  return true;
}
