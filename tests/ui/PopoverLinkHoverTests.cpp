// Which link of a popover the pointer is over, and when a click opens it.

#include <gtest/gtest.h>

#include "ui/PopoverLinkHover.h"

namespace {

const std::optional<std::string> noLink;

TEST(PopoverLinkHover, CountsLinkAreasOnlyAndNeverGoesBelowZero) {
  PopoverLinkHover h;
  h.exited(noLink);
  h.exited(std::string("https://a"));
  EXPECT_EQ(h.hoverOnLinkCount(), 0);
  h.entered(noLink);
  EXPECT_FALSE(h.hoverOnLink());

  h.entered(std::string("https://a"));
  h.entered(std::string("https://a"));  // two overlapping areas
  EXPECT_TRUE(h.wantsPointingHand(std::string("https://a")));
  EXPECT_FALSE(h.wantsPointingHand(noLink));
  h.exited(noLink);
  h.exited(std::string("https://a"));
  EXPECT_EQ(h.hoverOnLink(), "https://a");
  h.exited(std::string("https://a"));
  EXPECT_FALSE(h.hoverOnLink());
  EXPECT_FALSE(h.contextMenuLink());
}

TEST(PopoverLinkHover, AClickOpensTheLinkOnlyWhenPressedAndReleasedInsideIt) {
  PopoverLinkHover h;
  h.entered(std::string("https://a"));
  h.mouseDown();
  EXPECT_EQ(h.mouseUp(), "https://a");

  h.mouseDown();
  h.exited(std::string("https://a"));  // dragged out before the release
  EXPECT_FALSE(h.mouseUp());

  h.mouseDown();  // pressed outside any link
  h.entered(std::string("https://b"));
  EXPECT_FALSE(h.mouseUp());

  h.mouseDown();
  h.exited(std::string("https://b"));
  h.entered(std::string("https://c"));  // released over another link
  EXPECT_FALSE(h.mouseUp());
  EXPECT_EQ(h.contextMenuLink(), "https://c");
  h.reset();
  EXPECT_EQ(h.hoverOnLinkCount(), 0);
}

}  // namespace
