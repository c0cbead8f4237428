#pragma once
// Whether the preview window follows its document window, and where to. Placed beside the
// document window, the preview moves by as much as the document window moves. A move of the
// preview to a place korvel did not ask for is the person's drag: from then on the preview
// stays where it was put, until korvel places it again. Positions are the windows' frame
// origins in root coordinates, whole pixels. Main thread only.

#include <cstddef>
#include <deque>
#include <optional>

class PreviewFollowing {
 public:
  struct Point {
    int x = 0, y = 0;
    bool operator==(const Point&) const = default;
  };

  // korvel placed the preview at `preview` beside the document window at `document`: it follows.
  void placed(Point preview, std::optional<Point> document);
  // korvel moves the preview (a resize, a spring, following): not the person's move.
  void willMove(Point preview);
  // The document window is now at `document`: where the preview goes, when it follows.
  std::optional<Point> documentMoved(Point document);
  // The preview window is now at `preview`; true when that was the person's move.
  bool previewMoved(Point preview);

  bool isFollowing() const { return following_; }
  // Moves asked for that the window manager has not answered yet.
  std::size_t pendingMoves() const { return answered_ ? 0 : pending_.size(); }

  // More unanswered moves than this are forgotten, oldest first.
  static constexpr std::size_t maxPending = 32;

 private:
  bool following_ = false;
  std::optional<Point> document_;
  std::optional<Point> known_;   // where the preview was last seen
  std::optional<Point> target_;  // where it was last sent, else where it was seen
  std::deque<Point> pending_;
  bool answered_ = false;  // a place not asked for came while moves were pending
};
