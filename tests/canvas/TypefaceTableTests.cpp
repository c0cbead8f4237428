// The typeface table: weights, the synthetic families, the Roboto rule and the default.

#include <gtest/gtest.h>

#include "canvas/TypefaceTable.h"

namespace {

using namespace TypefaceTable;

TEST(TypefaceTable, ManagerWeightsMapToCssWeights) {
  EXPECT_EQ(cssWeight(1), 100);
  EXPECT_EQ(cssWeight(3), 200);
  EXPECT_EQ(cssWeight(5), 400);
  EXPECT_EQ(cssWeight(8), 600);
  EXPECT_EQ(cssWeight(9), 700);
  EXPECT_EQ(cssWeight(11), 800);
  EXPECT_EQ(cssWeight(15), 900);
}

TEST(TypefaceTable, SyntheticFamiliesUseUiSelectorsUnderTheirCurrentNames) {
  Table t = syntheticFamilies("Pro");
  ASSERT_EQ(t.count("SF Pro Display"), 1u);
  EXPECT_EQ(t.count("SF UI Display"), 0u);
  EXPECT_EQ(t.at("SF Pro Display").front(), (Row{"Regular", "__SF-UI-Display-Regular__", 400}));
  EXPECT_EQ(t.at("SF Pro Display").size(), 18u);
  EXPECT_EQ(t.at("SF Compact Text")[7], (Row{"Light Italic", "__SF-Compact-Text-Light-Italic__", 200}));
  EXPECT_EQ(t.at("SF Compact Text").back().style, "Semibold Italic");
  EXPECT_EQ(t.at("SF Pro Text")[9].style, "Semibold Italic");
  EXPECT_EQ(t.at("SF Pro Display Condensed").back(), (Row{"Black", "__SF-UI-Display-Condensed-Black__", 900}));
  EXPECT_EQ(t.at("SF Compact Rounded")[3].weight, 300);  // Light outside the Text families
  EXPECT_EQ(syntheticFamilies("UI").count("SF UI Text Condensed"), 1u);
}

TEST(TypefaceTable, InstalledFamiliesKeepTheirOrderAndLoseToSyntheticNames) {
  std::vector<Family> installed = {{"Dejavu", {{"Dejavu-Bold", "Bold", 9}, {"Dejavu", "Book", 5}}},
                                   {"SF Compact Text", {{"Fake", "Regular", 5}}},
                                   {"Empty", {}}};
  Table t = build(installed, {});
  EXPECT_EQ(t.at("Dejavu"), (std::vector<Row>{{"Bold", "Dejavu-Bold", 700}, {"Book", "Dejavu", 400}}));
  EXPECT_EQ(t.at("SF Compact Text").front().selector, "__SF-Compact-Text-Regular__");
  EXPECT_EQ(t.count("Empty"), 0u);
}

TEST(TypefaceTable, RobotoStaysOnlyWithTwoRegularFaces) {
  std::vector<Family> installed = {{"Roboto", {{"Roboto-Regular", "Regular", 5}}},
                                   {"Roboto Mono", {{"RobotoMono-Regular", "Regular", 5}}}};
  Table one = build(installed, {"Roboto-Regular", "RobotoMono-Regular"});
  EXPECT_EQ(one.count("Roboto"), 0u);
  EXPECT_EQ(one.count("Roboto Mono"), 0u);
  Table two = build(installed, {"Roboto-Regular", "x/Roboto-Regular", "RobotoMono-Regular"});
  EXPECT_EQ(two.count("Roboto"), 1u);
  EXPECT_EQ(two.count("Roboto Mono"), 0u);
}

TEST(TypefaceTable, DefaultComesFromUiTextThenHelveticaNeue) {
  Table t = syntheticFamilies("Pro");
  EXPECT_EQ(defaultDescriptor(t), std::nullopt);
  t["Helvetica Neue"] = {{"Regular", "HelveticaNeue", 400}};
  EXPECT_EQ(defaultDescriptor(t), (Descriptor{"HelveticaNeue", 400}));
  EXPECT_EQ(defaultDescriptor(syntheticFamilies("UI")), (Descriptor{"__SF-UI-Text-Regular__", 400}));
}

TEST(TypefaceTable, SystemTableHasTheSyntheticFamilies) {
  Table t = systemTable();
  EXPECT_EQ(t.count("SF Pro Text"), 1u);
  EXPECT_GE(t.size(), 7u);
}

}  // namespace
