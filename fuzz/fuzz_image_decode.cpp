// Pictures decoded into pixels: pasted TIFF, stored images and raster pages go this road, which
// checks the header's bound first and then decodes with the decoder of the header's format.
#include <cstddef>
#include <cstdint>

#include "export/Bitmap.h"
#include "platform/ImageData.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Data bytes(data, data + size);
  if (auto header = ImageData::checkedBitmap(bytes)) {
    // Keep each run small: the bound itself is what the header tests check.
    if (header->decodedPixels() > 4096.0 * 4096.0) return 0;
  }
  (void)ImageEncoding::decode(bytes);
  (void)ImageData::bitmapAsPNG(bytes);
  return 0;
}
