// Pictures decoded into pixels: pasted TIFF, stored images and raster pages go this road, which
// checks the header's bound first and then decodes with the decoder of the header's format; a
// TIFF also reduced as it is read, and made PNG as it is read.
#include <cstddef>
#include <cstdint>

#include "export/Bitmap.h"
#include "platform/ImageData.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Data bytes(data, data + size);
  if (auto header = ImageData::checkedBitmap(bytes)) {
    // Keep each run small: the bound itself is what the header tests check.
    if (header->decodedPixels() > 4096.0 * 4096.0) return 0;
    // A TIFF handed smaller is reduced as it is read.
    if (header->format == ImageHeader::Format::tiff && header->width >= 2 && header->height >= 2)
      (void)ImageData::decodeTiff(bytes, *header, ImageData::PixelSize{int(header->width / 2), int(header->height / 3 + 1)});
    if (header->format == ImageHeader::Format::tiff) (void)ImageData::tiffAsPng(bytes, *header, std::size_t(4) << 20);
  }
  (void)ImageEncoding::decode(bytes);
  (void)ImageData::bitmapAsPNG(bytes);
  return 0;
}
