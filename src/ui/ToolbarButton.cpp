#include "ui/ToolbarButton.h"

#include <glib.h>

#include <cmath>
#include <cstdio>

#include "ui/AppAppearance.h"

namespace {
std::string escaped(const std::string& text) {
  gchar* e = g_markup_escape_text(text.c_str(), -1);
  std::string out = e;
  g_free(e);
  return out;
}

std::string percent(double fraction) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f%%", fraction * 100);
  return buffer;
}
}  // namespace

Color ToolbarButton::contentColor(bool dark) { return Color::colorWithHexColorString(dark ? "#eeeeee" : "#444444"); }

Color ToolbarButton::contentHighlightColor(bool dark) {
  return Color::colorWithHexColorString(dark ? "#cccccc" : "#111111");
}

ToolbarImageRect ToolbarButton::imageRect(double boundsWidth, double boundsHeight, double imageWidth, double imageHeight) {
  return {std::floor(boundsWidth * 0.5 - imageWidth * 0.5), std::floor(boundsHeight * 0.5 - imageHeight * 0.5), imageWidth,
          imageHeight};
}

ToolbarButtonDrawing ToolbarButton::drawing(bool dark, bool hasDarkVariant, bool highlighted) {
  if (hasDarkVariant) return {dark, std::nullopt};
  return {false, highlighted ? contentHighlightColor(dark) : contentColor(dark)};
}

const std::vector<ToolbarCloudButton::PathElement>& ToolbarCloudButton::cloudPath() {
  using K = PathElement::Kind;
  static const std::vector<PathElement> path = {
      {K::move, {{4.5, 4.5}}},
      {K::curve, {{4.5, 6.0}, {6.0, 7.5}, {7.5, 7.5}}},
      {K::line, {{9.0, 7.5}}},
      {K::curve, {{9.0, 7.5}, {10.0, 11.5}, {13.5, 11.5}}},
      {K::curve, {{16.5, 11.5}, {18.5, 9.5}, {18.5, 6.5}}},
      {K::curve, {{18.5, 3.5}, {16.5, 1.5}, {13.5, 1.5}}},
      {K::line, {{7.5, 1.5}}},
      {K::curve, {{5.5, 1.5}, {4.5, 3.0}, {4.5, 4.5}}},
      {K::close, {}},
  };
  return path;
}

ToolbarMenuTitle ToolbarMenuTitle::make(const std::string& title, const std::optional<std::string>& subtitle, bool enabled) {
  ToolbarMenuTitle out;
  out.text = subtitle ? title + *subtitle : title;
  out.subtitleStart = title.size();
  out.dimmedTitle = !enabled;
  out.dimmedSubtitle = !enabled || subtitle.has_value();
  return out;
}

std::string ToolbarMenuTitle::markup() const {
  const char* dim = " foreground=\"#FFFFFF\" fgalpha=\"30%\"";
  std::string title = escaped(text.substr(0, subtitleStart));
  std::string subtitle = escaped(text.substr(subtitleStart));
  int lineHeight = int((minimumLineHeight + lineSpacing) * 1024);
  std::string out = "<span font_size=\"" + std::to_string(int(fontSize * 1024)) + "\" line_height=\"" +
                    std::to_string(lineHeight) + "\"" + (dimmedTitle ? dim : "") + ">" + title;
  if (!subtitle.empty()) out += dimmedTitle ? subtitle : "<span" + std::string(dim) + ">" + subtitle + "</span>";
  return out + "</span>";
}

std::string ToolbarAccessoryView::backgroundCSS(bool dark) {
  if (!dark) return {};
  using C = AppAppearance::Colors;
  return "headerbar { background-image: linear-gradient(to bottom, " + C::toolbarTopLine().hexColorString() + " 0%, " +
         C::toolbarGradientTop().hexColorString() + " " + percent(0.75 / 37) + ", " +
         C::toolbarGradientBottom().hexColorString() + " " + percent(35.9 / 37) + ", " +
         C::toolbarBottomLine().hexColorString() + " " + percent(36.0 / 37) + ", " +
         C::toolbarBottomLine().hexColorString() + " 100%); background-color: " +
         C::toolbarGradientBottom().hexColorString() + "; }";
}
