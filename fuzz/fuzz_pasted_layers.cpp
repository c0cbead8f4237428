// Layers pasted from the other design tool's plug-in, with the images inside them.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "export/SketchPasteboardPluginParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const auto& parser = SketchPasteboardPluginParser::shared();
  auto parsed = parser.parse(std::string_view(reinterpret_cast<const char*>(bytes), size));
  if (!parsed) return 0;
  (void)parser.extractBitmapsFromLayers(parsed->sketchData.layers);
  if (parsed->sketchData.metadata.detachedSymbols)
    for (const auto& [id, layer] : *parsed->sketchData.metadata.detachedSymbols)
      (void)parser.extractBitmapsFromLayers({layer});
  return 0;
}
