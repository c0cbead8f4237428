#pragma once
// Whether the preview window follows its document window, and where to. Placed beside the
// document window, the preview moves by as much as the document window moves, kept inside the
// area it may stand in (the work area); where it was kept in, it comes back out as the document
// window comes back. Only the person's move ends the following: a place korvel did not ask for
// while the person holds the preview, or one that comes when korvel asked for nothing (a window
// manager tells the end of a drag once the button is let go). A place not asked for while an
// answer to korvel's request is due is the window manager's (a window kept on the screen, a
// resize, a mapping, first or again), and the preview follows on from there. A preview off the
// screen stays where it stood while the document window moves: shown again, it follows from
// there. Positions are the windows' frame origins in root coordinates, whole pixels. Main thread
// only.

#include <cstddef>
#include <deque>
#include <optional>

class PreviewFollowing {
 public:
  struct Point {
    int x = 0, y = 0;
    bool operator==(const Point&) const = default;
  };
  // The origins the preview may take: from (minX, minY) to (maxX, maxY), both included.
  struct Area {
    int minX = 0, minY = 0, maxX = 0, maxY = 0;
  };

  // korvel placed the preview at `preview` beside the document window at `document`: it follows.
  void placed(Point preview, std::optional<Point> document);
  // korvel moves the preview (a resize, a spring): not the person's move.
  void willMove(Point preview);
  // The document window is now at `document`: where the preview goes, when it follows and is on
  // the screen, kept in `area` when one is given.
  std::optional<Point> documentMoved(Point document, std::optional<Area> area = std::nullopt);
  // The preview window is now at `preview`; `personHolds` while the person holds it (a pointer
  // button down on it), `answerDue` while the window manager may still be answering a request of
  // korvel's (a move, a resize, a mapping). True when that was the person's move.
  bool previewMoved(Point preview, bool personHolds, bool answerDue = false);
  // The preview went off the screen. Where it stood, and what was asked of it there, say nothing
  // of where the window manager puts it when it is shown again: that place is its word.
  void hidden();
  // The preview is on the screen again where it stood (placed() says so too).
  void shown();

  bool isFollowing() const { return following_; }
  // Moves asked for that the window manager has not answered yet.
  std::size_t pendingMoves() const { return pending_.size(); }

  // More unanswered moves than this are forgotten, oldest first.
  static constexpr std::size_t maxPending = 32;

  static Point keptIn(Point p, const Area& area);

 private:
  void ask(Point preview);

  // A place asked of the window manager, and where following wanted the preview when it asked.
  struct Ask {
    Point at, wanted;
  };

  bool following_ = false;
  bool hidden_ = false;
  std::optional<Point> document_;
  std::optional<Point> known_;   // where the preview was last seen
  std::optional<Point> target_;  // where it was last sent, else where it was seen
  std::optional<Point> wanted_;  // where following puts it, before it is kept in the area
  std::deque<Ask> pending_;
};
