#pragma once
// Makes printed PDFs small. The web engine's printer embeds every font whole (hundreds of KB a
// face, on every page file); drawing the pages again through poppler into cairo's PDF writer
// keeps text, paths, gradients and images as they are, but embeds only the glyphs drawn.
// Display-free: the printed bytes came from a web process and are read as untrusted.

#include <cstddef>
#include <optional>

#include "platform/Data.h"

class PDFCompactor {
 public:
  // Beyond these the bytes are left as they are.
  static constexpr std::size_t maximumBytes = 256 * 1024 * 1024;
  static constexpr int maximumPages = 1000;
  static constexpr double maximumSide = 32767;  // points

  // The same pages, smaller; nothing when the bytes are not a PDF within the bounds, a page
  // does not draw, or the result is not smaller. Any thread.
  static std::optional<Data> compact(const Data& pdf);
};
