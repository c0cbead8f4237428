// The decisions of the small controls and views: titles of the anti-aliased controls, the
// rounding transformer, the stretchable image's pieces and the title-bar height.
#include <gtest/gtest.h>

#include "ui/AntiAliasedButton.h"
#include "ui/PDRoundingValueTransformer.h"
#include "ui/TMStretchable.h"
#include "ui/TitlebarExtras.h"

TEST(AntiAliasedTitle, SpacingAndLineHeightFollowTheFontSize) {
  auto small = AntiAliasedTitle::build("Open", AntiAliasedFont::systemFont(12), Color{1, 0, 0, 1}, std::nullopt,
                                       Color{1, 1, 1, 1}, TextAlignment::left, std::nullopt);
  EXPECT_FLOAT_EQ(small.letterSpacing, 0.4f);
  EXPECT_DOUBLE_EQ(small.maximumLineHeight, 12 * 1.3);
  EXPECT_EQ(small.alignment, TextAlignment::left);
  EXPECT_EQ(small.textColor, (Color{1, 0, 0, 1}));

  auto large = AntiAliasedTitle::build("Big", AntiAliasedFont::systemFont(48), std::nullopt, std::nullopt,
                                       std::nullopt, std::nullopt, std::nullopt);
  EXPECT_FLOAT_EQ(large.letterSpacing, 0.9f);
  EXPECT_NEAR(large.maximumLineHeight, 62.4, 1e-9);
  EXPECT_FLOAT_EQ(AntiAliasedTitle::defaultLetterSpacing(18), 0.525f);
  EXPECT_FLOAT_EQ(AntiAliasedTitle::defaultLetterSpacing(24), 0.65f);
}

TEST(AntiAliasedTitle, MissingValuesFallBackInOrder) {
  auto bare = AntiAliasedTitle::build("x", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                      std::nullopt);
  EXPECT_DOUBLE_EQ(bare.font.pointSize, 11);
  EXPECT_NEAR(bare.letterSpacing, 0.4208, 1e-4);
  EXPECT_EQ(bare.alignment, TextAlignment::center);
  EXPECT_EQ(bare.backgroundColor.alpha, 0);
  EXPECT_EQ(bare.textColor, ColorConstants::kDarkGray());

  Color stored{0, 0, 1, 1};
  auto withStored = AntiAliasedTitle::build("x", std::nullopt, std::nullopt, stored, std::nullopt, std::nullopt, 2.5f);
  EXPECT_EQ(withStored.textColor, stored);
  EXPECT_FLOAT_EQ(withStored.letterSpacing, 2.5f);
}

TEST(PDRoundingValueTransformer, RoundsHalfUpToOneDecimalAndNeverShowsNegatives) {
  EXPECT_EQ(PDRoundingValueTransformer::transformedValue(2.25), "2.3");
  EXPECT_EQ(PDRoundingValueTransformer::transformedValue(2.0), "2");
  EXPECT_EQ(PDRoundingValueTransformer::transformedValue(3), "3");
  EXPECT_EQ(PDRoundingValueTransformer::transformedValue(-5), "0");
  EXPECT_EQ(PDRoundingValueTransformer::transformedValue(-0.01), "0");
  EXPECT_EQ(PDRoundingValueTransformer::transformedValue(0.05), "0.1");
  EXPECT_EQ(PDRoundingValueTransformer::transformedValue(std::nullopt), "0");
  EXPECT_EQ(PDRoundingValueTransformer::transformedValue(1e30), "1000000015047466219876688855040");
}

TEST(TMStretchable, CornersKeepTheirSizeAndTheCentreLeavesOutTwoPoints) {
  auto pieces = TMStretchable::ninePieces({10.4, 20.6, 99.6, 50.2}, 30, 30, TMEdgeInsetsMake(5, 6, 7, 8));
  // Rounded destination: (10, 21, 100, 50).
  EXPECT_EQ(pieces[0].destination, (TMStretchable::Rect{10, 21, 6, 7}));
  EXPECT_EQ(pieces[2].destination, (TMStretchable::Rect{102, 66, 8, 5}));
  EXPECT_EQ(pieces[2].source, (TMStretchable::Rect{22, 25, 8, 5}));
  EXPECT_EQ(pieces[8].destination, (TMStretchable::Rect{16, 28, 86, 38}));
  EXPECT_EQ(pieces[8].source, (TMStretchable::Rect{6, 9, 16, 14}));

  auto whole = TMStretchable::ninePieces({0, 0, 40, 40}, 20, 20, {});
  EXPECT_EQ(whole[8].destination, (TMStretchable::Rect{0, 0, 40, 40}));
  EXPECT_EQ(whole[8].source, (TMStretchable::Rect{0, 2, 20, 16}));
  EXPECT_EQ(whole[0].destination.width, 0);
}

TEST(TitlebarExtras, OnlyTheUnifiedStyleGetsThirtySevenPoints) {
  EXPECT_EQ(TitlebarExtras::titlebarMinHeight(0x1000, 22), 37);
  EXPECT_EQ(TitlebarExtras::titlebarMinHeight(0x1000 | 0x1, 52), 37);
  EXPECT_EQ(TitlebarExtras::titlebarMinHeight(0x1000, 0), 0);
  EXPECT_EQ(TitlebarExtras::titlebarMinHeight(0x1, 22), 22);
}
