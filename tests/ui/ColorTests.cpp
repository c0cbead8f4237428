// Hexadecimal colour texts, both ways.

#include <gtest/gtest.h>

#include "ui/Color.h"

namespace {

Color hex(const char* s) { return Color::colorWithHexColorString(std::string(s)); }

TEST(Color, ReadsHexTextsTheWayTheScannerDoes) {
  EXPECT_EQ(hex("#336699"), hex("336699"));
  EXPECT_EQ(hex("#eeeeee"), hex("EEEEEE"));
  EXPECT_EQ(hex("X336699"), hex("336699"));
  EXPECT_EQ(hex("#FFF").hexColorString(), "#000000");
  EXPECT_EQ(hex("FFF").hexColorString(), "#000FFF");
  EXPECT_EQ(hex("336699FF").hexColorString(), "#6699FF");
  EXPECT_EQ(hex("0x0099ff").hexColorString(), "#0099FF");
  EXPECT_EQ(hex("  12zz").hexColorString(), "#000012");
  EXPECT_EQ(hex("FFFFFFFFFFFF").hexColorString(), "#FFFFFF");
  EXPECT_EQ(hex(""), Color::colorWithHexColorString(std::nullopt));
  EXPECT_EQ(hex("").alpha, 1.0);
}

TEST(Color, WritesTexts) {
  EXPECT_EQ(hex("FFFFFF").RGBAColorString(), "(255, 255, 255, 1.00)");
  EXPECT_EQ((Color{0.5, 0, 1, 0.25}).RGBAColorString(), "(128, 0, 255, 0.25)");
  EXPECT_EQ((Color{0.5, 0, 1, 1}).hexColorString(), "#8000FF");
}

TEST(Color, SeededColoursRepeatAndRandomOnesStayBelowFull) {
  EXPECT_EQ(Color::randomColorWithSeed("ada", 1), Color::randomColorWithSeed("ada", 1));
  EXPECT_NE(Color::randomColorWithSeed("ada", 1), Color::randomColorWithSeed("bob", 1));
  for (int i = 0; i < 50; ++i) {
    Color c = Color::randomColorWithAlpha(0.5f);
    EXPECT_LT(c.red, 1.0);
    EXPECT_LT(c.blue, 1.0);
  }
  EXPECT_EQ(ColorConstants::kEditorBackgroundColor(), ColorConstants::kBlack());
  EXPECT_EQ(ColorConstants::kDarkGray().hexColorString(), "#666666");
}

}  // namespace
