#pragma once
// Which link of a popover the pointer is over, from the enter and leave events of its link
// areas. Only areas that carry a link count, an area left that was never entered changes
// nothing, and a click opens a link only when it was pressed and released inside that link.
// Plain state; main thread only like the view that feeds it.

#include <optional>
#include <string>
#include <vector>

class PopoverLinkHover {
 public:
  // `link` is the area's link, none for an area without one.
  void entered(const std::optional<std::string>& link);
  void exited(const std::optional<std::string>& link);
  // The pointing-hand cursor belongs over a link area while a link is hovered.
  bool wantsPointingHand(const std::optional<std::string>& area) const { return area && hoverOnLink(); }
  void mouseDown();
  // The link to open: the one pressed, when the pointer is still inside it.
  std::optional<std::string> mouseUp();
  // The link a right click offers to copy.
  std::optional<std::string> contextMenuLink() const { return hoverOnLink(); }
  // The popover closed: no area is under the pointer any more.
  void reset();

  std::optional<std::string> hoverOnLink() const;
  int hoverOnLinkCount() const { return static_cast<int>(inside_.size()); }

 private:
  std::vector<std::string> inside_;  // entered link areas, most recent last
  std::optional<std::string> pressed_;
};
