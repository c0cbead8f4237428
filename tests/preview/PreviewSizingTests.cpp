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

// What a window of `width` × `height` comes out as under an aspect hint with these limits: the
// display keeps each bound as a fraction over 65536, cut short; the window manager compares in
// single precision and, off the ratio, takes the height from the width.
std::pair<int, int> underAspectHint(int width, int height, AspectLimits limits) {
  auto carried = [](double aspect) {
    float x = aspect <= 1 ? float(long(65536 * aspect)) : 65536.f;
    float y = aspect <= 1 ? 65536.f : float(long(65536 / aspect));
    return x / y;
  };
  float least = carried(limits.least), greatest = carried(limits.greatest);
  if (float(height) * least > float(width)) height = int(float(width) / least);
  if (float(height) * greatest < float(width)) height = int(float(width) / greatest);
  return {width, height};
}

TEST(PreviewSizing, TheAspectHintKeepsTheDevicesExactSize) {
  // Every device the catalog has, upright and rotated, whole and at half size.
  const std::pair<int, int> sizes[] = {{375, 667}, {667, 375}, {384, 512}, {512, 384}, {768, 1024}, {1024, 768},
                                       {188, 334}, {334, 188}, {1440, 900}, {720, 450}, {390, 844}, {1280, 800}};
  for (auto [width, height] : sizes) {
    auto limits = aspectLimits({double(width), double(height)});
    EXPECT_LT(limits.least, limits.greatest);
    EXPECT_EQ(underAspectHint(width, height, limits), std::pair(width, height)) << width << " x " << height;
    // No more than a pixel of give either way, for a person's resize to snap back from.
    EXPECT_NEAR(height * limits.greatest, width, 1.0) << width << " x " << height;
    EXPECT_NEAR(height * limits.least, width, 1.0) << width << " x " << height;
  }
  EXPECT_EQ(aspectLimits({0, 0}).greatest, 0);
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
  // A document window at the screen's edges: the preview's title bar and buttons stay on the work area.
  Rect screen{0, 0, 1600, 1000};
  EXPECT_EQ(attachedInspectorFrame({0, 0, 1200, 980}, 49, {1200, 0, 375, 700}, screen), (Rect{299, 20, 950, 980}));
  EXPECT_EQ(attachedInspectorFrame({0, 0, 1200, 980}, 49, {0, 0, 375, 700}, screen), (Rect{0, 20, 950, 980}));
  EXPECT_EQ(attachedInspectorFrame({0, 0, 1280, 720}, 49, {900, 0, 375, 700}, Rect{0, 0, 800, 720}), (Rect{0, 0, 800, 720}));
}

// The frame constraint keeps a whole window on the work area, moving it as little as it can.
TEST(PreviewSizing, TheFrameConstraintKeepsTheWindowOnTheWorkArea) {
  Rect work{0, 30, 1280, 690};
  const std::pair<Rect, Rect> cases[] = {
      {{100, 100, 400, 300}, {100, 100, 400, 300}},    // on it already
      {{-49, 80, 950, 600}, {0, 80, 950, 600}},        // off the left edge
      {{1000, 500, 400, 300}, {880, 420, 400, 300}},   // off the right and the bottom
      {{200, 0, 400, 300}, {200, 30, 400, 300}},       // above the top, under a panel
      {{300, 40, 768, 2048}, {300, 30, 768, 690}},     // taller than the work area
      {{0, 0, 1536, 2047}, {0, 30, 1280, 690}},        // larger every way
  };
  for (auto [frame, expected] : cases)
    EXPECT_EQ(constrainFrame(frame, work), expected) << frame.x << "," << frame.y << " " << frame.width << "x" << frame.height;
  EXPECT_EQ(constrainFrame({5, 5, 10, 10}, {}), (Rect{5, 5, 10, 10})) << "no work area known";
}

// On a screen too small for a device the preview takes its half size, else a smaller scale.
TEST(PreviewSizing, ThePreviewNeverGrowsPastTheWorkArea) {
  const double chrome = 22;
  Rect large{0, 0, 1600, 1000}, laptop{0, 0, 1280, 720}, tiny{0, 0, 320, 240};
  struct Case {
    Size intrinsic;
    Rect work;
    Size expected;  // content
  } cases[] = {
      {{375, 667}, large, {375, 667}},    // the phone fits
      {{768, 1024}, large, {384, 512}},   // the tablet at half size
      {{1024, 768}, large, {1024, 768}},  // rotated, it fits whole
      {{1440, 900}, large, {1440, 900}},  // the desktop fits
      {{375, 667}, laptop, {375, 667}},
      {{375, 667}, Rect{0, 0, 1024, 600}, {188, 334}},  // half size, rounded up
      {{768, 1024}, laptop, {384, 512}},
      {{1440, 900}, laptop, {720, 450}},
      {{4000, 3000}, laptop, {930, 698}},  // even half is too large: scaled to fit
      {{768, 1024}, tiny, {163, 218}},
  };
  for (const auto& c : cases) {
    Size frame{c.intrinsic.width, c.intrinsic.height + chrome};
    Size fitted = sizeOnScreen(frame, c.intrinsic, chrome, c.work);
    EXPECT_EQ(fitted, (Size{c.expected.width, c.expected.height + chrome}))
        << c.intrinsic.width << "x" << c.intrinsic.height << " on " << c.work.width << "x" << c.work.height;
    EXPECT_LE(fitted.height, c.work.height);
    EXPECT_LE(fitted.width, c.work.width);
  }
  // A size the person gave it stays when it fits.
  EXPECT_EQ(sizeOnScreen({500, 600}, {768, 1024}, chrome, large), (Size{500, 600}));

  // Placed beside the document window the first time: on the screen, top edges aligned.
  EXPECT_EQ(firstAppearanceFrame({768, 1024}, chrome, {200, 200}, {0, 0, 1100, 900}, large), (Rect{1100, 0, 384, 534}));
  EXPECT_EQ(firstAppearanceFrame({768, 1024}, chrome, {200, 200}, {0, 300, 1100, 700}, laptop), (Rect{896, 186, 384, 534}));

  // A live resize never snaps to a size the screen has no room for.
  EXPECT_EQ(snappedSize({760, 980}, {768, 1024}, chrome, large), (Size{760, 980}));
  EXPECT_EQ(snappedSize({380, 520 + chrome}, {768, 1024}, chrome, large), (Size{384, 512 + chrome}));
  EXPECT_EQ(snappedSize({770, 1000 + chrome}, {768, 1024}, chrome), (Size{768, 1024 + chrome})) << "no screen known";
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
