#pragma once
// Makes printed PDFs small and the page the frame. The web engine's printer embeds every TrueType
// font whole (hundreds of KB a face, in every page file); this cuts each one down to the glyphs
// the pages draw and leaves every other byte of the file as printed. It also keeps the first
// page alone, scaled to a page of the size asked for. Display-free: the printed bytes came from
// a web process and are read as untrusted.

#include <cstddef>
#include <optional>

#include "platform/Data.h"

class PDFCompactor {
 public:
  // Beyond these the bytes are left as they are.
  static constexpr std::size_t maximumBytes = 256 * 1024 * 1024;
  static constexpr std::size_t maximumObjects = 1000000;
  // Content streams are read inflated up to this many bytes in all.
  static constexpr std::size_t maximumContentBytes = 256 * 1024 * 1024;

  // The same file with smaller fonts; nothing when the bytes are not a PDF laid out as the
  // printer writes them (one cross-reference table, fonts as composite TrueType fonts with
  // identity glyph maps), or nothing gets smaller. Any thread.
  static std::optional<Data> compact(const Data& pdf);

  // Larger pages, widths and scales are refused.
  static constexpr double maximumPageSide = 1e6;
  // The first page alone on a page of width × height points, its drawing scaled by `scale`
  // from its top-left corner; the other pages and what only they use are left out. Nothing
  // when the bytes are not a PDF laid out as the printer writes them. Any thread.
  static std::optional<Data> firstPage(const Data& pdf, double width, double height, double scale);
};
