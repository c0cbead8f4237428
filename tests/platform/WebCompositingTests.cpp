// When web views composite on the graphics card: only where the display renders directly on a
// card that this user may open.
#include <gtest/gtest.h>

#include "platform/WebCompositing.h"

using WebCompositing::DisplayFacts;

TEST(WebCompositing, OnlyADisplayWithAWorkingCardComposites) {
  struct Case {
    const char* display;
    DisplayFacts facts;
    bool composites;
  };
  const Case cases[] = {
      {"X with a card", {.x11 = true, .directRendering = true, .renderNode = true}, true},
      {"Wayland with a card", {.x11 = false, .directRendering = false, .renderNode = true}, true},
      {"virtual frame buffer on a machine with a card", {.x11 = true, .directRendering = false, .renderNode = true}, false},
      {"virtual frame buffer, no card", {.x11 = true, .directRendering = false, .renderNode = false}, false},
      {"virtual machine's X, no card", {.x11 = true, .directRendering = true, .renderNode = false}, false},
      {"Wayland without a card", {.x11 = false, .renderNode = false}, false},
      {"software rendering asked for", {.x11 = true, .directRendering = true, .renderNode = true, .softwareRequested = true}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(WebCompositing::acceleratedCompositingWorks(c.facts), c.composites) << c.display;
}
