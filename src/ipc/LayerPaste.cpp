#include "ipc/LayerPaste.h"

#include <glib.h>

#include <algorithm>
#include <string_view>

#include <nlohmann/json.hpp>

#include "export/ImageDecoding.h"
#include "export/SVGXMLDocument.h"
#include "ipc/EditorFiles.h"
#include "ipc/PasteboardTypes.h"
#include "platform/ImageData.h"
#include "platform/JsonCoder.h"

namespace LayerPaste {

namespace {

PasteFinding nothing() { return PasteFinding{}; }

bool isSVGText(const Data& bytes) {
  auto document = SVGXMLDocument::create(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  return document && (*document)->rw_isSVGImage();
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

}  // namespace

std::optional<std::filesystem::path> firstFile(const std::string& uriList) {
  std::size_t start = 0;
  while (start < uriList.size()) {
    std::size_t end = uriList.find_first_of("\r\n", start);
    std::string line = uriList.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? uriList.size() : end + 1;
    if (line.empty() || line[0] == '#') continue;
    gchar* path = g_filename_from_uri(line.c_str(), nullptr, nullptr);
    if (!path) return std::nullopt;
    std::filesystem::path out(path);
    g_free(path);
    return out;
  }
  return std::nullopt;
}

std::string escapeLineSeparators(std::string text) {
  for (auto [from, to] : {std::pair{"\u2028", "\\u2028"}, std::pair{"\u2029", "\\u2029"}}) {
    std::string_view f(from);
    for (std::size_t at = text.find(f); at != std::string::npos; at = text.find(f, at + 6)) text.replace(at, f.size(), to);
  }
  return text;
}

PasteFinding probe(const Pasteboard& pasteboard, bool ignoreSketchData) {
  // Another program's clipboard is asked for its types once.
  const std::vector<std::string> types = pasteboard.types();
  auto available = [&](const char* type) { return std::find(types.begin(), types.end(), type) != types.end(); };

  if (available(PasteboardType::ostrelLayers)) {
    if (auto text = pasteboard.stringForType(PasteboardType::ostrelLayers)) {
      if (auto layers = JsonCoder::parse(*text)) {
        PasteFinding found;
        found.kind = PasteFinding::Kind::layers;
        found.layers = std::make_shared<const nlohmann::json>(std::move(*layers));
        return found;
      }
    }
  }
  if (available(PasteboardType::string)) {
    if (auto bytes = pasteboard.dataForType(PasteboardType::string); bytes && isSVGText(*bytes)) {
      PasteFinding found;
      found.kind = PasteFinding::Kind::svg;
      found.data = std::move(*bytes);
      found.isSVG = true;
      return found;
    }
  }
  if (available(PasteboardType::sketchPasteboard) && !ignoreSketchData) {
    if (auto text = pasteboard.stringForType(PasteboardType::sketchPasteboard)) {
      PasteFinding found;
      found.kind = PasteFinding::Kind::sketch;
      found.sketch = std::move(*text);
      return found;
    }
  }
  if (available(PasteboardType::fileURL)) {
    auto list = pasteboard.stringForType(PasteboardType::fileURL);
    if (auto file = list ? firstFile(*list) : std::nullopt) {
      PasteFinding found;
      found.kind = PasteFinding::Kind::file;
      found.isSVG = lowercase(file->extension().string()) == ".svg";
      auto bytes = EditorFiles::readRegularFile(*file, EditorFiles::maximumImageBytes);
      if (!bytes) return nothing();
      // Judged by its header: the picture is decoded later, away from the main loop.
      if (!found.isSVG && !ImageDecoding::mayBeImage(*bytes)) return nothing();
      found.data = std::move(*bytes);
      found.filename = EditorFiles::pastedFileName(*file);
      return found;
    }
  }
  for (const char* type : {PasteboardType::png, PasteboardType::tiff, PasteboardType::pdf}) {
    if (!available(type)) continue;
    auto bytes = pasteboard.dataForType(type);
    if (!bytes) return nothing();
    PasteFinding found;
    if (std::string_view(type) == PasteboardType::tiff) {
      // Only the header is judged here; the picture is decoded and made PNG away from the main loop.
      if (!ImageData::checkedBitmap(*bytes)) return nothing();
      found.convertToPNG = true;
    }
    found.kind = PasteFinding::Kind::image;
    found.data = std::move(*bytes);
    return found;
  }
  if (!available(PasteboardType::string)) return nothing();
  PasteFinding found;
  found.kind = PasteFinding::Kind::text;
  found.plain = pasteboard.stringForType(PasteboardType::string);
  if (available(PasteboardType::html)) found.html = pasteboard.stringForType(PasteboardType::html);
  return found;
}

}  // namespace LayerPaste
