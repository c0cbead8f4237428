#pragma once
// What a paste into the editor finds on a pasteboard, tried in a fixed order: this program's
// layers, SVG text, layers from the other design tool, a file, image data (PNG, TIFF, PDF), and
// last plain text with its HTML. A probe whose type is there but whose content is unusable
// either gives way to the next one or ends the paste with nothing, as each step says. Reads a
// foreign clipboard in a nested main loop: main thread only.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <memory>

#include <nlohmann/json_fwd.hpp>

#include "platform/Data.h"

class Pasteboard;

struct PasteFinding {
  enum class Kind { layers, svg, sketch, file, image, text, nothing };
  Kind kind = Kind::nothing;
  std::shared_ptr<const nlohmann::json> layers;  // layers
  Data data;                              // svg, file and image
  bool convertToPNG = false;              // image: TIFF, to be stored as PNG once decoded
  std::string sketch;                     // sketch
  std::optional<std::string> filename;    // file: its name without extension
  bool isSVG = false;                     // svg, and a file named .svg in any case
  std::optional<std::string> plain, html;  // text
};

namespace LayerPaste {
PasteFinding probe(const Pasteboard& pasteboard, bool ignoreSketchData);
// The first file of a "text/uri-list"; none for other schemes or no file URI.
std::optional<std::filesystem::path> firstFile(const std::string& uriList);
// U+2028 and U+2029 written as the six characters "\u2028" and "\u2029".
std::string escapeLineSeparators(std::string text);
}  // namespace LayerPaste
