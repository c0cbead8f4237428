#include "ui/AntiAliasedButton.h"

#include "foundation/SharedUtilities.h"

float AntiAliasedTitle::defaultLetterSpacing(double pointSize) {
  return Math::modulate(pointSize, {12, 36}, {0.4, 0.9}, true);
}

AntiAliasedTitle AntiAliasedTitle::build(const std::string& title, const std::optional<AntiAliasedFont>& font,
                                         const std::optional<Color>& color,
                                         const std::optional<Color>& storedTextColor,
                                         const std::optional<Color>& backgroundColor,
                                         const std::optional<TextAlignment>& alignment,
                                         const std::optional<float>& letterSpacing) {
  AntiAliasedTitle made;
  made.text = title;
  made.font = font.value_or(AntiAliasedFont::systemFont(11));
  made.alignment = alignment.value_or(TextAlignment::center);
  made.textColor = color ? *color : storedTextColor ? *storedTextColor : ColorConstants::kDarkGray();
  made.backgroundColor = backgroundColor.value_or(Color{0, 0, 0, 0});
  made.letterSpacing = letterSpacing ? *letterSpacing : defaultLetterSpacing(made.font.pointSize);
  made.maximumLineHeight = made.font.pointSize * 1.3;
  return made;
}
