#include "TypefaceTable.h"

#include <algorithm>
#include <utility>

namespace TypefaceTable {
namespace {

const std::vector<std::string> displayStyles = {"Regular", "Ultralight", "Thin",     "Light", "Medium",
                                                "Semibold", "Bold",      "Heavy",    "Black"};
const std::vector<std::string> compactTextStyles = {
    "Regular", "Light",        "Medium",        "Semibold",    "Bold",         "Heavy",
    "Italic",  "Light Italic", "Medium Italic", "Bold Italic", "Heavy Italic", "Semibold Italic"};
const std::vector<std::string> displayItalicStyles = {
    "Regular",        "Ultralight",    "Thin",         "Light",           "Medium",      "Semibold",
    "Bold",           "Heavy",         "Black",        "Italic",          "Ultralight Italic",
    "Thin Italic",    "Light Italic",  "Medium Italic", "Semibold Italic", "Bold Italic", "Heavy Italic",
    "Black Italic"};
const std::vector<std::string> textStyles = {
    "Regular", "Light",        "Medium",        "Semibold",        "Bold",        "Heavy",
    "Italic",  "Light Italic", "Medium Italic", "Semibold Italic", "Bold Italic", "Heavy Italic"};
const std::vector<std::string> textCondensedStyles = {"Regular", "Light", "Medium", "Semibold", "Bold", "Heavy"};

std::string hyphenated(std::string s) {
  std::replace(s.begin(), s.end(), ' ', '-');
  return s;
}

int syntheticWeight(std::string style, bool textFamily) {
  if (auto at = style.find(" Italic"); at != std::string::npos) style.erase(at);
  if (style == "Ultralight") return 100;
  if (style == "Thin") return 200;
  if (style == "Light") return textFamily ? 200 : 300;
  if (style == "Medium") return 500;
  if (style == "Semibold") return 600;
  if (style == "Bold") return 700;
  if (style == "Heavy") return 800;
  if (style == "Black") return 900;
  return 400;  // Regular, Italic
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

int cssWeight(int w) {
  if (w < 3) return 100;
  if (w == 3) return 200;
  if (w == 4) return 300;
  if (w == 5) return 400;
  if (w == 6) return 500;
  if (w <= 8) return 600;
  if (w == 9) return 700;
  if (w <= 11) return 800;
  return 900;
}

Table syntheticFamilies(const std::string& word) {
  struct FamilyStyles {
    std::string family;      // as named on this system
    std::string uiFamily;    // as written in selectors
    const std::vector<std::string>* styles;
    bool textFamily;
  };
  const std::vector<FamilyStyles> families = {
      {"SF Compact Display", "SF Compact Display", &displayStyles, false},
      {"SF Compact Rounded", "SF Compact Rounded", &displayStyles, false},
      {"SF Compact Text", "SF Compact Text", &compactTextStyles, true},
      {"SF " + word + " Display", "SF UI Display", &displayItalicStyles, false},
      {"SF " + word + " Display Condensed", "SF UI Display Condensed", &displayStyles, false},
      {"SF " + word + " Text", "SF UI Text", &textStyles, true},
      {"SF " + word + " Text Condensed", "SF UI Text Condensed", &textCondensedStyles, true},
  };
  Table table;
  for (const auto& family : families) {
    auto& rows = table[family.family];
    for (const auto& style : *family.styles)
      rows.push_back({style, "__" + hyphenated(family.uiFamily) + "-" + hyphenated(style) + "__",
                      syntheticWeight(style, family.textFamily)});
  }
  return table;
}

Table build(const std::vector<Family>& installed, const std::vector<std::string>& faceNames, const std::string& word) {
  Table table;
  for (const auto& family : installed) {
    if (family.members.empty()) continue;
    auto& rows = table[family.name];
    rows.clear();
    for (const auto& m : family.members) rows.push_back({m.styleName, m.postScriptName, cssWeight(m.managerWeight)});
  }
  for (auto& [name, rows] : syntheticFamilies(word)) table[name] = std::move(rows);

  int roboto = 0, robotoMono = 0;
  for (const auto& face : faceNames) {
    if (endsWith(face, "Roboto-Regular")) ++roboto;
    if (endsWith(face, "RobotoMono-Regular")) ++robotoMono;
  }
  if (roboto < 2) table.erase("Roboto");
  if (robotoMono < 2) table.erase("Roboto Mono");
  return table;
}

std::optional<Descriptor> defaultDescriptor(const Table& table) {
  for (const char* candidate : {"SF UI Text", "Helvetica Neue"}) {
    auto it = table.find(candidate);
    if (it == table.end() || it->second.empty()) continue;
    return Descriptor{it->second.front().selector, it->second.front().weight};
  }
  return std::nullopt;
}

}  // namespace TypefaceTable
