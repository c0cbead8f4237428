#pragma once
// The one script that puts the editor's start-up globals into its page before the page's own
// scripts run: the typeface table and default, the colour presets, the dismissed hints, the
// tools-panel width and the tutorial flag.

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "canvas/TypefaceTable.h"

namespace StartupScript {

struct Values {
  TypefaceTable::Table typefaces;
  std::optional<TypefaceTable::Descriptor> defaultTypeface;
  const nlohmann::json* colorPresets = nullptr;  // used when an object
  const nlohmann::json* dismissedHints = nullptr;  // used when an array
  double tabContentWidth = 0;                      // used when above 1.0
  bool isTutorial = false;
};

std::string build(const Values& values);

// At most 15 significant digits, with ".0" added to a whole number: 250 → "250.0".
std::string formatWidth(double width);

}  // namespace StartupScript
