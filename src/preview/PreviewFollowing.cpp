#include "preview/PreviewFollowing.h"

#include <algorithm>

void PreviewFollowing::placed(Point preview, std::optional<Point> document) {
  following_ = true;
  hidden_ = false;
  if (document) document_ = document;
  willMove(preview);
}

void PreviewFollowing::willMove(Point preview) {
  wanted_ = preview;
  ask(preview);
}

void PreviewFollowing::ask(Point preview) {
  target_ = preview;
  // A window asked to stay where it is may hear nothing back.
  if (known_ && *known_ == preview && pending_.empty()) return;
  // Asked twice for one place (a resize after a move), the window manager answers once.
  if (!pending_.empty() && pending_.back().at == preview) {
    pending_.back().wanted = *wanted_;
    return;
  }
  pending_.push_back({preview, *wanted_});
  while (pending_.size() > maxPending) pending_.pop_front();
}

PreviewFollowing::Point PreviewFollowing::keptIn(Point p, const Area& area) {
  // An area narrower than the window keeps its left (top) edge: the title bar stays reachable.
  p.x = std::max(area.minX, std::min(p.x, area.maxX));
  p.y = std::max(area.minY, std::min(p.y, area.maxY));
  return p;
}

std::optional<PreviewFollowing::Point> PreviewFollowing::documentMoved(Point document, std::optional<Area> area) {
  auto before = document_;
  document_ = document;
  // Off the screen it keeps its place: the document's moves meanwhile are not its own.
  if (hidden_) return std::nullopt;
  if (!following_ || !before || *before == document || !wanted_) return std::nullopt;
  wanted_ = Point{wanted_->x + document.x - before->x, wanted_->y + document.y - before->y};
  Point to = area ? keptIn(*wanted_, *area) : *wanted_;
  if (target_ && *target_ == to) return std::nullopt;  // held at the area's edge
  ask(to);
  return to;
}

void PreviewFollowing::hidden() {
  hidden_ = true;
  known_.reset();
  pending_.clear();
}

void PreviewFollowing::shown() { hidden_ = false; }

bool PreviewFollowing::previewMoved(Point preview, bool personHolds, bool answerDue) {
  auto asked = std::find_if(pending_.begin(), pending_.end(), [&](const Ask& a) { return a.at == preview; });
  if (asked != pending_.end()) {
    Point wanted = asked->wanted;
    // Moves asked for before this one are over too.
    pending_.erase(pending_.begin(), asked + 1);
    known_ = preview;
    if (pending_.empty()) {
      target_ = preview;
      wanted_ = wanted;
    }
    return false;
  }
  if (known_ && *known_ == preview) return false;  // a resize, or news of the old place
  bool firstSight = !known_;
  known_ = preview;
  if (!personHolds && (answerDue || !pending_.empty())) {
    // The window manager's word on what korvel asked: where it put the window (kept on the
    // screen, resized, framed), and following goes on from there. First seen, a window just mapped
    // may be reported where it stood before our place lands (0,0): that place may still come.
    target_ = wanted_ = preview;
    if (!(firstSight && !pending_.empty())) pending_.clear();
    return false;
  }
  // Held by the person, or put there with nothing asked (a window manager tells the end of a
  // drag only once the person lets go).
  pending_.clear();
  target_ = wanted_ = preview;
  following_ = false;
  return true;
}
