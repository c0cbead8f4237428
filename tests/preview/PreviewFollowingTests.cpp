// Whether the preview follows its document window, the settings menu's keys and the window's
// key state, without a display.
#include <gtest/gtest.h>

#include <variant>

#include "FakePreviewDocument.h"
#include "foundation/Menu.h"
#include "platform/RunLoop.h"
#include "preview/PreviewFollowing.h"
#include "preview/PreviewMenu.h"

namespace {
using Point = PreviewFollowing::Point;

struct Placed {
  Point preview;
  std::optional<Point> document;
};
struct Asked {
  Point preview;
};
struct DocumentAt {
  Point document;
  std::optional<Point> previewGoesTo;
};
// Seen at a place, the person not holding it: never the person's move.
struct PreviewAt {
  Point preview;
  bool personMoved = false;
};
// Seen at a place while the person holds it by its title bar.
struct Dragged {
  Point preview;
  bool personMoved;
};
// Seen at a place while an answer to korvel's request is due.
struct Answer {
  Point preview;
};
// The document window moved, the preview kept in a work area.
struct DocumentAtIn {
  Point document;
  PreviewFollowing::Area area;
  std::optional<Point> previewGoesTo;
};
// The preview went off the screen (its close button, its document in the background).
struct Hidden {};
// On the screen again without being placed (its document window came back to the front).
struct Shown {};
using Step = std::variant<Placed, Asked, DocumentAt, PreviewAt, Dragged, Answer, DocumentAtIn, Hidden, Shown>;

TEST(PreviewFollowing, FollowsUntilThePersonMovesThePreview) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool following;
  } cases[] = {
      {"not placed yet: stays", {DocumentAt{{0, 0}, {}}, DocumentAt{{50, 0}, {}}}, false},
      {"moves by as much as the document",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}, false}, DocumentAt{{130, 80}, Point{930, 80}},
        DocumentAt{{140, 90}, Point{940, 90}}, PreviewAt{{930, 80}, false}, PreviewAt{{940, 90}, false}},
       true},
      {"moves from where it was sent, not from where it was last seen",
       {Placed{{900, 100}, Point{100, 100}}, DocumentAt{{110, 100}, Point{910, 100}}, DocumentAt{{120, 100}, Point{920, 100}},
        PreviewAt{{920, 100}, false}, Dragged{{910, 100}, true}},
       false},
      {"a resize of the document moves nothing",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}, false}, DocumentAt{{100, 100}, {}}}, true},
      {"the person's move detaches",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}, false}, Dragged{{700, 300}, true},
        Dragged{{710, 310}, true}, DocumentAt{{200, 100}, {}}},
       false},
      {"placed again, it follows again",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}, false}, Dragged{{700, 300}, true},
        DocumentAt{{150, 100}, {}}, Placed{{950, 100}, Point{150, 100}}, PreviewAt{{950, 100}, false},
        DocumentAt{{160, 100}, Point{960, 100}}},
       true},
      {"korvel's own moves are not the person's",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}, false}, Asked{{880, 100}}, Asked{{860, 100}},
        PreviewAt{{880, 100}, false}, PreviewAt{{860, 100}, false}, DocumentAt{{110, 100}, Point{870, 100}}},
       true},
      {"news of the old place while a move is under way",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}, false}, DocumentAt{{120, 100}, Point{920, 100}},
        PreviewAt{{900, 100}, false}, PreviewAt{{920, 100}, false}},
       true},
      {"the window manager keeps an asked-for place on screen",
       {Placed{{1300, 100}, Point{100, 100}}, PreviewAt{{1200, 100}, false}, DocumentAt{{110, 100}, Point{1210, 100}}},
       true},
      {"seen at 0,0 before its first place lands",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{0, 0}, false}, PreviewAt{{900, 100}, false},
        DocumentAt{{190, 140}, Point{990, 140}}, PreviewAt{{990, 140}, false}},
       true},
      {"seen at 0,0, then kept on screen",
       {Placed{{1300, 100}, Point{100, 100}}, PreviewAt{{0, 0}, false}, PreviewAt{{1200, 100}, false},
        DocumentAt{{110, 100}, Point{1210, 100}}, PreviewAt{{1210, 100}, false}},
       true},
      {"kept on screen, then dragged",
       {Placed{{1300, 100}, Point{100, 100}}, PreviewAt{{1300, 100}, false}, Asked{{1400, 100}},
        PreviewAt{{1200, 100}, false}, Dragged{{700, 300}, true}},
       false},
      {"the window manager's answer to a resize is not the person's",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}}, Asked{{900, 100}}, Answer{{880, 60}},
        DocumentAt{{110, 100}, Point{890, 60}}, PreviewAt{{890, 60}}},
       true},
      {"a late second answer after the first show is not the person's",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{0, 0}}, PreviewAt{{900, 100}}, Answer{{904, 122}},
        DocumentAt{{120, 100}, Point{924, 122}}},
       true},
      {"shown again, it follows from where it is shown",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}}, DocumentAt{{150, 100}, Point{950, 100}},
        Placed{{700, 400}, Point{150, 100}}, PreviewAt{{950, 100}}, PreviewAt{{700, 400}},
        DocumentAt{{160, 100}, Point{710, 400}}},
       true},
      {"the person's drag while korvel's move is under way",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}}, DocumentAt{{110, 100}, Point{910, 100}},
        Dragged{{600, 500}, true}, DocumentAt{{120, 100}, {}}},
       false},
      {"let go at a place with nothing asked: the person's drag",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}}, PreviewAt{{640, 300}, true},
        DocumentAt{{120, 100}, {}}},
       false},
      {"the person holding it where korvel sent it moves nothing",
       {Placed{{900, 100}, Point{100, 100}}, Dragged{{900, 100}, false}, DocumentAt{{110, 100}, Point{910, 100}}},
       true},
      {"kept in the work area, and back out as the document comes back",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}},
        DocumentAtIn{{400, 100}, {0, 0, 1000, 500}, Point{1000, 100}}, PreviewAt{{1000, 100}},
        DocumentAtIn{{450, 700}, {0, 0, 1000, 500}, Point{1000, 500}}, PreviewAt{{1000, 500}},
        DocumentAtIn{{460, 700}, {0, 0, 1000, 500}, {}},
        DocumentAtIn{{100, 100}, {0, 0, 1000, 500}, Point{900, 100}}, PreviewAt{{900, 100}}},
       true},
      {"an area narrower than the window keeps its top left corner",
       {Placed{{900, 100}, Point{100, 100}}, DocumentAtIn{{-500, -300}, {0, 0, 0, 0}, Point{0, 0}}},
       true},
      {"closed and shown again, the window manager's place is its word",
       {Placed{{1000, 77}, Point{160, 77}}, PreviewAt{{998, 77}}, Hidden{}, Placed{{1000, 77}, Point{160, 77}},
        PreviewAt{{998, 77}}, DocumentAt{{140, 92}, Point{978, 92}}},
       true},
      {"closed and shown again where it stood, not where it was asked to go",
       {Placed{{680, 5}, Point{5, 5}}, PreviewAt{{680, 5}}, Asked{{558, 5}}, PreviewAt{{558, 5}}, Hidden{},
        Placed{{680, 5}, Point{5, 5}}, PreviewAt{{558, 5}}, DocumentAt{{-15, 20}, Point{538, 20}}},
       true},
      {"shown again, seen at 0,0 before its place lands",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}}, Hidden{}, Placed{{900, 100}, Point{100, 100}},
        PreviewAt{{0, 0}}, PreviewAt{{900, 100}}, DocumentAt{{110, 100}, Point{910, 100}}},
       true},
      {"hidden while a move was under way: shown again, it follows from where it is shown",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}}, DocumentAt{{120, 100}, Point{920, 100}}, Hidden{},
        Placed{{920, 100}, Point{120, 100}}, PreviewAt{{900, 100}}, DocumentAt{{130, 100}, Point{910, 100}}},
       true},
      {"the document moved while it was closed: shown again where it stood, it follows from there",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}}, Hidden{}, DocumentAt{{70, 120}, {}},
        DocumentAt{{60, 130}, {}}, Placed{{900, 100}, Point{60, 130}}, PreviewAt{{900, 100}},
        DocumentAt{{70, 130}, Point{910, 100}}, PreviewAt{{910, 100}}, DocumentAt{{65, 140}, Point{905, 110}}},
       true},
      {"the document moved while it was away: back on the screen, it follows from where it stands",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}}, Hidden{}, DocumentAtIn{{70, 120}, {0, 0, 1000, 500}, {}},
        Shown{}, Answer{{900, 100}}, DocumentAt{{80, 125}, Point{910, 105}}},
       true},
      {"placed where it already is",
       {Placed{{900, 100}, Point{100, 100}}, PreviewAt{{900, 100}, false}, Placed{{900, 100}, Point{100, 100}},
        Dragged{{600, 600}, true}},
       false},
  };
  for (const auto& c : cases) {
    PreviewFollowing f;
    int index = 0;
    for (const auto& step : c.steps) {
      ++index;
      if (auto* s = std::get_if<Placed>(&step)) f.placed(s->preview, s->document);
      if (std::holds_alternative<Hidden>(step)) f.hidden();
      if (std::holds_alternative<Shown>(step)) f.shown();
      if (auto* s = std::get_if<Asked>(&step)) f.willMove(s->preview);
      if (auto* s = std::get_if<DocumentAt>(&step)) {
        auto to = f.documentMoved(s->document);
        EXPECT_EQ(to.has_value(), s->previewGoesTo.has_value()) << c.name << " step " << index;
        if (to && s->previewGoesTo) {
          EXPECT_EQ(*to, *s->previewGoesTo) << c.name << " step " << index;
        }
      }
      if (auto* s = std::get_if<DocumentAtIn>(&step)) {
        auto to = f.documentMoved(s->document, s->area);
        EXPECT_EQ(to.has_value(), s->previewGoesTo.has_value()) << c.name << " step " << index;
        if (to && s->previewGoesTo) {
          EXPECT_EQ(*to, *s->previewGoesTo) << c.name << " step " << index;
        }
      }
      if (auto* s = std::get_if<PreviewAt>(&step)) {
        EXPECT_EQ(f.previewMoved(s->preview, false), s->personMoved) << c.name << " step " << index;
      }
      if (auto* s = std::get_if<Answer>(&step)) {
        EXPECT_FALSE(f.previewMoved(s->preview, false, true)) << c.name << " step " << index;
      }
      if (auto* s = std::get_if<Dragged>(&step)) {
        EXPECT_EQ(f.previewMoved(s->preview, true), s->personMoved) << c.name << " step " << index;
      }
    }
    EXPECT_EQ(f.isFollowing(), c.following) << c.name;
  }
}

// Until its first place lands, a window is still on its way there.
TEST(PreviewFollowing, AnEarlyReportLeavesTheMoveUnderWay) {
  PreviewFollowing f;
  f.placed({900, 100}, Point{100, 100});
  EXPECT_FALSE(f.previewMoved({0, 0}, false));
  EXPECT_EQ(f.pendingMoves(), 1u);
  EXPECT_FALSE(f.previewMoved({900, 100}, false));
  EXPECT_EQ(f.pendingMoves(), 0u);
  EXPECT_TRUE(f.isFollowing());

  // Sent to one place twice (moved, then resized there), before it was ever seen.
  PreviewFollowing g;
  g.placed({840, 60}, Point{20, 60});
  g.willMove({840, 60});
  EXPECT_FALSE(g.previewMoved({0, 0}, false));
  EXPECT_FALSE(g.previewMoved({840, 60}, false));
  EXPECT_EQ(g.pendingMoves(), 0u);
  EXPECT_TRUE(g.isFollowing());
}

TEST(PreviewFollowing, UnansweredMovesAreBounded) {
  PreviewFollowing f;
  f.placed({0, 0}, Point{0, 0});
  for (int i = 1; i <= 1000; ++i) f.documentMoved({i, 0});
  EXPECT_EQ(f.pendingMoves(), PreviewFollowing::maxPending);
  EXPECT_FALSE(f.previewMoved({1000, 0}, false));
  EXPECT_EQ(f.pendingMoves(), 0u);
  EXPECT_TRUE(f.isFollowing());
}

TEST(PreviewKeys, TheSettingsMenusKeyEquivalentsRunTheirItems) {
  auto d = FakePreviewDocument::make();
  d->loadCatalog(sampleCatalog());
  auto& p = *d->preview;
  // Without a selection the items are disabled.
  EXPECT_FALSE(p.performKeyEquivalent("r", ModifierCommand));
  EXPECT_EQ(d->reloads, 0);
  p.ostrelPreviewUpdate(selectionText("f", {}));
  struct Case {
    std::string key;
    std::uint32_t mask;
    bool runs;
  } cases[] = {
      {"r", ModifierCommand, true},
      {"r", 0, false},
      {"r", ModifierCommand | ModifierShift, false},
      {"x", ModifierCommand, false},
      {"", ModifierCommand, false},
  };
  for (const auto& c : cases) {
    int before = d->reloads;
    EXPECT_EQ(p.performKeyEquivalent(c.key, c.mask), c.runs) << c.key << " " << c.mask;
    EXPECT_EQ(d->reloads, before + (c.runs ? 1 : 0)) << c.key;
  }
  auto* inspector = p.settingsMenu()->itemForKeyEquivalent("i", ModifierCommand | ModifierShift);
  ASSERT_TRUE(inspector);
  EXPECT_EQ(inspector->action, "showPreviewInspector:");
  auto* fullScreen = p.settingsMenu()->itemForKeyEquivalent("\uF70E", 0);
  ASSERT_TRUE(fullScreen);
  EXPECT_EQ(fullScreen->action, "togglePreviewFullscreen:");
}

TEST(PreviewKeys, KeyStateClearsATurnAfterTheWindowResigns) {
  auto d = FakePreviewDocument::make();
  auto& p = *d->preview;
  EXPECT_FALSE(p.wasKeyWindow());
  p.windowDidBecomeKey();
  EXPECT_TRUE(p.wasKeyWindow());
  p.windowDidResignKey();
  EXPECT_TRUE(p.wasKeyWindow()) << "cleared only on the next turn";
  ASSERT_TRUE(RunLoop::runUntil([&] { return !p.wasKeyWindow(); }, 10));
  // Key again before that turn came: the late clearing does not undo it.
  p.windowDidResignKey();
  p.windowDidBecomeKey();
  bool turned = false;
  MainQueue::async([&] { turned = true; });
  ASSERT_TRUE(RunLoop::runUntil([&] { return turned; }, 10));
  EXPECT_TRUE(p.wasKeyWindow());
}
}  // namespace
