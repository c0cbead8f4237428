// The preview window's geometry, with the numbers a person sees.
#include <gtest/gtest.h>

#include <cmath>

#include "FakePreviewDocument.h"
#include "preview/PreviewSizing.h"
#include "preview/SpringAnimation.h"

namespace {

using namespace PreviewSizing;

TEST(PreviewSizing, IntrinsicSizeIsTheScreenInPoints) {
  auto d = FakePreviewDocument::make();
  d->loadCatalog(sampleCatalog());
  auto& p = *d->preview;
  p.ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}}));
  EXPECT_EQ(p.intrinsicContentSize(), (Size{375, 667}));
  p.ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}, {"rotate", true}}));
  EXPECT_EQ(p.intrinsicContentSize(), (Size{667, 375}));
  EXPECT_EQ(p.contentAspectRatio(), (Size{1334, 750}));
  p.ostrelPreviewUpdate(selectionText("f", {{"rotate", true}}, 400, 300));
  EXPECT_EQ(p.intrinsicContentSize(), (Size{400, 300}));
  // A device with a ratio of 0 counts as 1.
  p.ostrelPreviewUpdate(selectionText(
      "f", {{"deviceType", "x"}, {"deviceDescriptor", {{"title", "X"}, {"screen", {{"width", 300}, {"height", 200}}}, {"pixelRatio", 0}}}}));
  EXPECT_EQ(p.intrinsicContentSize(), (Size{300, 200}));
  // The bezel frames the device: no ratio then.
  p.ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}, {"bezel", true}}));
  EXPECT_EQ(p.contentAspectRatio(), (Size{0, 0}));
  EXPECT_EQ(p.contentMinimum(), contentMinSize);
}

TEST(PreviewSizing, MinimumsFollowTheRatio) {
  Size portrait = contentMinimum({375, 667});
  EXPECT_NEAR(portrait.width, 140.55, 0.01);
  EXPECT_EQ(portrait.height, 250);
  EXPECT_EQ(contentMinimum({2, 1}), (Size{250, 125}));
  EXPECT_EQ(contentMinimum({1, 1}), (Size{250, 250}));
  EXPECT_EQ(documentWindowContentMinimum(portrait, documentPadding(0.0)), (Size{800, 682}));
  EXPECT_EQ(documentWindowContentMinimum({750, 700}, documentPadding(std::nullopt)), (Size{880, 762}));
  EXPECT_EQ(documentPadding(std::nullopt).top, 48.0);
}

TEST(PreviewSizing, FitsAFrameToTheRatio) {
  const std::pair<Size, Size> cases[] = {{{1, 1}, {600, 600}}, {{2, 1}, {800, 400}}, {{3, 2}, {600, 400}},
                                         {{2, 3}, {400, 600}}, {{0, 0}, {600, 400}}};
  for (auto [ratio, expected] : cases) {
    Size fitted = fittedSize({600, 400 + 38}, ratio, 38);
    EXPECT_EQ(fitted, (Size{expected.width, expected.height + 38})) << ratio.width << ":" << ratio.height;
  }
}

TEST(PreviewSizing, LiveResizesSnapToWholeHalfAndDoubleSizes) {
  Size intrinsic{375, 667};
  const std::pair<Size, Size> cases[] = {{{390, 690}, {375, 667}},  {{400, 720}, {400, 720}},
                                         {{190, 330}, {188, 334}},  {{760, 1300}, {750, 1334}},
                                         {{600, 400}, {600, 400}}};
  for (auto [proposed, expected] : cases)
    EXPECT_EQ(snappedSize({proposed.width, proposed.height + 20}, intrinsic, 20), (Size{expected.width, expected.height + 20}))
        << proposed.width << "x" << proposed.height;
  EXPECT_EQ(snappedSize({390, 690}, {0, 0}, 0), (Size{390, 690}));
}

TEST(PreviewSizing, PlacesThePreviewBesideTheDocumentWindow) {
  Rect screen{0, 0, 1280, 1024};
  EXPECT_EQ(firstAppearanceFrame({375, 667}, 0, {200, 200}, {100, 50, 800, 700}, screen), (Rect{900, 50, 375, 667}));
  // Near the screen's right edge it overlaps the document window.
  EXPECT_EQ(firstAppearanceFrame({375, 667}, 38, {200, 200}, {400, 50, 800, 700}, screen), (Rect{905, 50, 375, 705}));
  // Too small an intrinsic size keeps the given size.
  EXPECT_EQ(firstAppearanceFrame({0, 0}, 0, {200, 300}, {100, 50, 800, 700}, screen), (Rect{900, 50, 200, 300}));
  // The top-left corner stays, the window stays on the screen.
  EXPECT_EQ(frameKeepingTopLeft({400.2, 500}, {1100, -20, 10, 10}, screen), (Rect{879, 0, 401, 500}));
}

TEST(PreviewSizing, AnAttachedInspectorGetsHalfTheDocumentWindow) {
  Rect preview{1300, 0, 375, 667};
  EXPECT_EQ(attachedInspectorFrame({100, 50, 1200, 800}, 30, preview), (Rect{380, 80, 950, 800}));
  EXPECT_EQ(attachedInspectorFrame({100, 50, 1600, 800}, 0, {0, 0, 10, 10}), (Rect{100, 50, 950, 800}));
  EXPECT_EQ(attachedInspectorFrame({100, 50, 2400, 800}, 0, {0, 0, 10, 10}), (Rect{100, 50, 1200, 800}));
}

TEST(PreviewSizing, OnlyAScreenWithRoomWaitsForAnAttachedInspector) {
  EXPECT_TRUE(screenFitsAttachedInspector(std::nullopt, 38));
  EXPECT_TRUE(screenFitsAttachedInspector(Rect{0, 0, 1280, 1024}, 38));
  EXPECT_TRUE(screenFitsAttachedInspector(Rect{0, 0, 750, 372}, 38));
  EXPECT_FALSE(screenFitsAttachedInspector(Rect{0, 0, 749, 1024}, 38));
  EXPECT_FALSE(screenFitsAttachedInspector(Rect{0, 0, 1280, 371}, 38));
}

TEST(PreviewSizing, TheSpringComesToRestOnItsTarget) {
  SpringAnimation spring({0, 0, 100, 100}, {200, 50, 375, 667});
  int frames = 0;
  double overshoot = 0;
  while (!spring.step(1.0 / 60) && frames < 600) {
    ++frames;
    overshoot = std::max(overshoot, spring.value().width - 375);
  }
  EXPECT_LT(frames, 120);
  EXPECT_EQ(spring.value(), (Rect{200, 50, 375, 667}));
  EXPECT_LT(overshoot, 30);
}

}  // namespace
