// An SVG file inspected before it becomes a layer: every question the editor asks of it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "export/SVGXMLDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(bytes), size);
  (void)SVGXMLDocument::rw_SVGPixels(std::string(text.substr(0, 64)));
  auto document = SVGXMLDocument::create(text);
  if (!document) return 0;
  (void)(*document)->rw_isSVGImage();
  (void)(*document)->rw_SVGImageSize();
  (void)(*document)->rw_isSVGFillStyleable();
  (void)(*document)->rw_isSVGColorStyleable();
  return 0;
}
