// An exported SVG's refused pictures drawn as their names: whatever the text, well-formed XML
// stays well-formed, and no refused picture it names is left undrawn.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "export/SVGRefusedPictures.h"
#include "export/SVGXMLDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(bytes), size);
  auto named = SVGRefusedPictures::drawNames(text);
  if (!named) return 0;
  if (SVGXMLDocument::create(text) && !SVGXMLDocument::create(*named)) __builtin_trap();
  return 0;
}
