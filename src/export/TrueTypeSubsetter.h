#pragma once
// Cuts a TrueType font down to the glyphs a PDF draws. Glyph numbers stay as they are (a PDF's
// text names glyphs by number): the other glyphs are emptied, the font ends after the highest
// glyph kept, and only the tables that drawing needs are kept. The font bytes came from a
// web process: every offset is checked.

#include <cstdint>
#include <optional>
#include <set>

#include "platform/Data.h"

class TrueTypeSubsetter {
 public:
  // The smaller font, or nothing when the bytes are not a TrueType font this understands.
  // Glyph 0 and the parts of composite glyphs are always kept.
  static std::optional<Data> subset(const Data& font, const std::set<std::uint16_t>& glyphs);
};
