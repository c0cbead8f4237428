// Picture headers: what a file says of its size, frames and density before any pixel is read,
// and the bound that decides whether it may be decoded; and a PNG with only the chunks that
// draw it, in which the same is read.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ImageHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  auto facts = ImageHeader::read(bytes);
  if (facts) {
    (void)facts->decodedPixels();
    (void)facts->pointWidth();
    (void)facts->pointHeight();
    (void)ImageHeader::loaderName(facts->format);
    // Every orientation is one the decoders know, and the stored size is the drawn one turned.
    if (facts->orientation < 1 || facts->orientation > 8) __builtin_trap();
    // Only formats whose header can tell every pixel is drawn opaque are called so.
    if (facts->opaque && facts->format != ImageHeader::Format::png && facts->format != ImageHeader::Format::jpeg &&
        facts->format != ImageHeader::Format::webp)
      __builtin_trap();
    if (double(facts->storedWidth()) * facts->storedHeight() != double(facts->width) * facts->height) __builtin_trap();
  }
  auto drawn = ImageHeader::pngForDrawing(bytes);
  if (ImageHeader::pngForDrawing(drawn) != drawn) __builtin_trap();
  auto drawnFacts = ImageHeader::read(drawn);
  // A PNG cut short is refused before it is drawn; any other is read alike.
  if (facts && facts->format == ImageHeader::Format::png && !facts->cut) {
    if (!drawnFacts || drawnFacts->width != facts->width || drawnFacts->height != facts->height ||
        drawnFacts->cut != facts->cut || drawnFacts->densityX != facts->densityX)
      __builtin_trap();
  }
  return 0;
}
