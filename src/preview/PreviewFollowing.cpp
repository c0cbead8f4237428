#include "preview/PreviewFollowing.h"

#include <algorithm>

void PreviewFollowing::placed(Point preview, std::optional<Point> document) {
  following_ = true;
  if (document) document_ = document;
  willMove(preview);
}

void PreviewFollowing::willMove(Point preview) {
  target_ = preview;
  answered_ = false;
  // A window asked to stay where it is may hear nothing back.
  if (known_ && *known_ == preview) return;
  // Asked twice for one place (a resize after a move), the window manager answers once.
  if (!pending_.empty() && pending_.back() == preview) return;
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
    answered_ = false;
    if (pending_.empty()) target_ = preview;
    return false;
  }
  if (known_ && *known_ == preview) return false;  // a resize, or news of the old place
  bool firstSight = !known_;
  known_ = target_ = preview;
  // With a move of ours outstanding, a place not asked for is the window manager's word: where
  // it put the window (kept on screen), or, first seen, where the window stood before our move
  // lands (a window just mapped may be reported at 0,0). Not the person's either way, and the
  // move asked for may still come; a second such place with nothing asked in between is.
  if (!pending_.empty() && (firstSight || !answered_)) {
    if (!firstSight) answered_ = true;
    return false;
  }
  pending_.clear();
  answered_ = false;
  following_ = false;
  return true;
}
