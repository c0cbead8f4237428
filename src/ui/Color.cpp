#include "Color.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "foundation/SharedUtilities.h"

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads like a scanner's hexadecimal integer: leading spaces, an optional 0x, digits up to the
// first other character; too large a number saturates.
std::uint32_t scanHex(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  if (i + 2 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') && hexDigit(s[i + 2]) >= 0) i += 2;
  std::uint64_t value = 0;
  bool overflow = false;
  for (; i < s.size() && hexDigit(s[i]) >= 0; ++i) {
    value = value * 16 + static_cast<std::uint64_t>(hexDigit(s[i]));
    if (value > 0xFFFFFFFFull) {
      overflow = true;
      value = 0xFFFFFFFFull;
    }
  }
  return overflow ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

Color fromBytes(std::uint32_t v) {
  return {((v >> 16) & 0xFF) / 255.0, ((v >> 8) & 0xFF) / 255.0, (v & 0xFF) / 255.0, 1.0};
}

double clamp01(double v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }

std::uint64_t fnv1a(std::string_view text) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return h;
}

}  // namespace

Color Color::colorWithHexColorString(const std::optional<std::string>& text) {
  if (!text) return fromBytes(0);
  std::string_view s = *text;
  if (s.size() == 7) s.remove_prefix(1);
  return fromBytes(scanHex(s));
}

Color Color::randomColorWithAlpha(float alpha) {
  double r = (std::rand() % 255) / 255.0;
  double g = (std::rand() % 255) / 255.0;
  double b = (std::rand() % 255) / 255.0;
  return {r, g, b, alpha};
}

Color Color::randomColorWithSeed(std::string_view seed, float alpha) {
  std::string m = MD5String(MD5String(seed));
  return {(fnv1a("R" + m) % 255) / 255.0, (fnv1a("G" + m) % 255) / 255.0, (fnv1a("B" + m) % 255) / 255.0, alpha};
}

Color Color::blend(const Color& from, const Color& to, double f) {
  return {from.red + (to.red - from.red) * f, from.green + (to.green - from.green) * f,
          from.blue + (to.blue - from.blue) * f, from.alpha + (to.alpha - from.alpha) * f};
}

std::string Color::RGBAColorString() const {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "(%.0f, %.0f, %.0f, %.2f)", clamp01(red) * 255, clamp01(green) * 255,
                clamp01(blue) * 255, clamp01(alpha));
  return buffer;
}

std::string Color::hexColorString() const {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "#%02X%02X%02X", static_cast<int>(std::round(clamp01(red) * 255)),
                static_cast<int>(std::round(clamp01(green) * 255)), static_cast<int>(std::round(clamp01(blue) * 255)));
  return buffer;
}

namespace ColorConstants {
#define KORVEL_COLOR(name, hex) \
  Color name() { return Color::colorWithHexColorString(std::string(hex)); }
KORVEL_COLOR(kBlack, "1E1E1E")
KORVEL_COLOR(kDeepGray, "141414")
KORVEL_COLOR(kDarkGray, "666666")
KORVEL_COLOR(kGray, "777777")
KORVEL_COLOR(kGray2, "7A7A7A")
KORVEL_COLOR(kSyntaxLightBlue, "88DDFF")
KORVEL_COLOR(kSyntaxBlue, "22CCFF")
KORVEL_COLOR(kSyntaxPurple, "AA88FF")
KORVEL_COLOR(kSyntaxGreen, "99EE66")
KORVEL_COLOR(kSyntaxGreen2, "98EC65")
KORVEL_COLOR(kSyntaxLightGreen, "CCFFCC")
KORVEL_COLOR(kSyntaxOrange, "FFCC33")
KORVEL_COLOR(kSyntaxPink, "FF66BB")
KORVEL_COLOR(kSyntaxRed, "FF5555")
KORVEL_COLOR(kWhite, "FFFFFF")
KORVEL_COLOR(kEditorCursorColor, "5C92EB")
KORVEL_COLOR(kEditorSelectionColor, "333333")
KORVEL_COLOR(kEditorSelectionColorInactive, "363636")
KORVEL_COLOR(kEditorTextColor, "FFFFFF")
KORVEL_COLOR(kEditorInvisiblesColor, "444444")
KORVEL_COLOR(kEditorInvisiblesSelectedColor, "555555")
KORVEL_COLOR(kCodePanelBackgroundColor, "141414")
#undef KORVEL_COLOR
Color kEditorBackgroundColor() { return kBlack(); }
}  // namespace ColorConstants
