// What reaches a design as a picture: image bytes of any kind, data URLs, SVG text and the other
// design tool's pasted layers. PDF and PostScript are left out: they are handed to a child process.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "export/ImageDecoding.h"
#include "export/ImageInfo.h"
#include "export/SVGInsertion.h"
#include "export/SketchPasteboardPluginParser.h"
#include "platform/ImageData.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Data bytes(data, data + size);
  std::string text(reinterpret_cast<const char*>(data), size);
  if (!ImageData::isPostScript(bytes) && !ImageData::isPDF(bytes)) {
    (void)ImageDecoding::imageFromData(bytes, std::nullopt);
    (void)ImageDecoding::imageFromData(bytes, std::string("x.webp"));
  }
  (void)SVGInsertion::prepare(bytes);
  (void)imageFileData(text);
  (void)SketchPasteboardPluginParser::shared().parse(text);
  return 0;
}
