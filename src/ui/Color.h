#pragma once
// An sRGB colour with components from 0 to 1, and the hexadecimal texts the application and the
// editor page write colours in. Any thread.

#include <optional>
#include <string>
#include <string_view>

struct Color {
  double red = 0, green = 0, blue = 0, alpha = 1;

  // "336699", "#336699", "0x336699": a 7-character text loses its first character; the rest is
  // read as one hexadecimal number whose low 24 bits are the colour. Never fails: text that is
  // not hexadecimal gives black.
  static Color colorWithHexColorString(const std::optional<std::string>& text);
  static Color randomColorWithAlpha(float alpha);
  // The same seed always gives the same colour.
  static Color randomColorWithSeed(std::string_view seed, float alpha);
  // The colour `fraction` of the way from `from` to `to`.
  static Color blend(const Color& from, const Color& to, double fraction);

  // "(255, 255, 255, 1.00)".
  std::string RGBAColorString() const;
  // "#0099FF".
  std::string hexColorString() const;

  bool operator==(const Color&) const = default;
};

// The fixed palette; only kDarkGray is read by the application itself.
namespace ColorConstants {
Color kBlack();
Color kDeepGray();
Color kDarkGray();
Color kGray();
Color kGray2();
Color kSyntaxLightBlue();
Color kSyntaxBlue();
Color kSyntaxPurple();
Color kSyntaxGreen();
Color kSyntaxGreen2();
Color kSyntaxLightGreen();
Color kSyntaxOrange();
Color kSyntaxPink();
Color kSyntaxRed();
Color kWhite();
Color kEditorCursorColor();
Color kEditorBackgroundColor();
Color kEditorSelectionColor();
Color kEditorSelectionColorInactive();
Color kEditorTextColor();
Color kEditorInvisiblesColor();
Color kEditorInvisiblesSelectedColor();
Color kCodePanelBackgroundColor();
}  // namespace ColorConstants
