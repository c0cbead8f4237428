// The header's reader and the decoder over the same bytes: the decoder may never make a picture
// larger than the header says, or the header's bound would not bound what is allocated.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstddef>
#include <cstdint>

#include "platform/ImageData.h"
#include "platform/ImageHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Data bytes(data, data + size);
  auto header = ImageHeader::read(bytes);
  if (!header) return 0;
  // What the decoder finds, heard before it allocates: at any size.
  auto announced = ImageData::decoderSize(bytes, header->format);
  if (announced && (std::uint32_t(announced->width) > header->width || std::uint32_t(announced->height) > header->height))
    __builtin_trap();
  // What it makes, for pictures small enough to decode in every run.
  if (header->decodedPixels() > 1024.0 * 1024.0 || header->frames > ImageData::maximumFrames) return 0;
  if (auto picture = ImageData::decodeBitmap(bytes)) {
    if (std::uint32_t(gdk_pixbuf_get_width(picture->get())) > header->width ||
        std::uint32_t(gdk_pixbuf_get_height(picture->get())) > header->height)
      __builtin_trap();
  }
  return 0;
}
